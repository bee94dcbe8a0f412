// Baseline for the start-up benchmark: the least a program can do for a
// one-line ECHO script run with an output file — read the script, write the
// echoed text and the framing lines to the output file, exit.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream script;
    script << in.rdbuf();
    std::string text = script.str();
    size_t open = text.find('"'), close = text.rfind('"');
    std::string echo = open < close ? text.substr(open + 1, close - open - 1) : "";
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out) return 1;
    std::fprintf(out, "Checking script (clearing output file)\r\nRunning script\r\n%s\r\nEnd of script\r\n"
                      "Closed connection.\r\n", echo.c_str());
    std::fclose(out);
    return 0;
}
