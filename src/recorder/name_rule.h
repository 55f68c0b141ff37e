// Which file names and directories a recording may use. On NTFS a colon in
// a file name names an alternate data stream: "news 12:30.dat" would record
// into a hidden stream of a file "news 12", which no folder listing shows.
// The other characters Windows reserves make a name that cannot be created,
// or one that means something else. Portable: the rule, not the file system.
#pragma once

namespace corvanlet {

// Why `name` cannot be a recording's file name, or null when it can: any of
// \ / : * ? " < > | or a control character, a device's name (NUL.ts), or a
// dot or space at its end.
const char* FileNameProblem(const char* name);

// Why `directory` cannot hold a recording, or null when it can: any of
// * ? " < > |, a control character, or a colon other than the drive's
// ("C:", also after a leading "\\?\").
const char* DirectoryProblem(const char* directory);

}  // namespace corvanlet
