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

// What a PEM file must hold: a block "-----BEGIN LABEL-----" whose label is
// one of `labels` (or ends in one, for "EC PRIVATE KEY" and the like), closed
// by its END line.
enum class PemKind { kCertificate, kPrivateKey };
// A readable file holding such a block; the problem names what it lacks.
std::optional<std::string> PemProblem(const std::string& path, PemKind kind);

// A directory, or none yet where one can be made: its nearest existing
// ancestor is a directory.
std::optional<std::string> DirectoryProblem(const std::string& path);
