"""What the benchmark scripts share."""

# expect script lines, after the spawn of a session to the benchmark host's
# stream job: copies everything that arrives, byte for byte, into the file
# $out until a "#" has come, then asks the host to quit.
EXPECT_CAPTURE_UNTIL_HASH = r'''set timeout 60
set f [open $out w]
fconfigure $f -translation binary
expect {
  -re ".+" { puts -nonewline $f $expect_out(buffer); if {[string first "#" $expect_out(buffer)] < 0} { exp_continue } }
}
close $f
send "quit\r\n"
'''
