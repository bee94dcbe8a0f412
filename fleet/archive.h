// The archive of a fleet run: the files each host's run left in its work
// folder (what its CAPTURE lines saved) kept in a git repository, one folder
// per host, with one commit per fleet run that changed anything.
#pragma once

#include <string>
#include <vector>

namespace fleet {

// The folder names of the hosts, in order: the "name" column's value when
// the inventory has one, else "HOST-ROW" (ROW the record's number, from 1);
// every byte other than letters, digits, '.', '-' and '_' made '_', a leading
// '.' too, at most 100 bytes; a name already given gets "-2", "-3"...
std::vector<std::string> HostFolderNames(const std::vector<std::string>& hosts, const std::vector<std::string>& names,
                                         const std::vector<size_t>& rowNumbers);

// What archiving did to one host's folder.
enum class Change { kSame, kNew, kChanged, kFailed };

// "same", "new", "changed", "failed": the summary's changed column.
const char* ChangeName(Change change);

struct ArchiveHost {
    std::string name;     // the host's folder in the repository
    std::string workDir;  // the folder its run worked in
    bool succeeded;       // the run ended with "End of script"
};

struct ArchiveResult {
    std::vector<Change> changes;  // one per host, in order
    size_t changed = 0, added = 0, failed = 0;
    bool committed = false;
    std::string diffStat;         // git's --stat of the new commit
    std::string error;            // why archiving failed (empty when it did not)
};

// Makes repo a git repository when it is missing or an empty folder; false
// with an error when it cannot be one (or git cannot be run).
bool PrepareArchive(const std::string& repo, std::string& error);

// The commit message for the given changes and host names.
std::string CommitMessage(const std::vector<ArchiveHost>& hosts, const std::vector<Change>& changes);

// Puts each host that succeeded into repo/NAME (the work folder's regular
// files, replacing what was there), leaves the folders of failed hosts as
// they are, and commits once when any folder changed. False (error set) when
// a file cannot be copied or git fails.
bool ArchiveRun(const std::string& repo, const std::vector<ArchiveHost>& hosts, ArchiveResult& result);

}  // namespace fleet

namespace fleet {

// The lines the end-of-run summary gives the archive: the counts, the time
// the archive step took, and git's --stat of the new commit (or that there
// was none).
std::string ArchiveLines(const std::string& repo, const ArchiveResult& result, double seconds);

}  // namespace fleet
