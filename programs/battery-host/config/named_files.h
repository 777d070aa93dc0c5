#pragma once

// The files a configuration names for the start of `run`, looked at without
// using them: check-config finds what run would refuse, without loading the
// plug-in or creating anything. Each check gives what is wrong, naming the
// path, or nothing.

#include <optional>
#include <string>

// A regular file with the ELF header of a shared library (ET_DYN) for the
// machine battery-host itself runs on; its code is not loaded.
std::optional<std::string> SharedLibraryProblem(const std::string& path);

// A file that can be appended to: a regular file, or none yet in an existing folder.
std::optional<std::string> AppendFileProblem(const std::string& path);

// A directory, or none yet where one can be made: its nearest existing
// ancestor is a directory.
std::optional<std::string> DirectoryProblem(const std::string& path);
