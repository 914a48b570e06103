// Temporary files of renders in progress. An output file is written under a name that says what
// it is, "out.wav.halvane-part-PID-XXXXXX", beside its destination, and renamed into place once
// complete. The render holds a lock on it while it lives, so a later render into the same folder
// can tell a file left by a killed render from one still being written, and remove it.
#ifndef HALVANE_TOOLS_TEMPFILES_H
#define HALVANE_TOOLS_TEMPFILES_H

#include <string>
#include <vector>

namespace halvane_cli {

// A temporary file beside `destination`, created, locked and registered for removal on
// interruption. `fd` is the descriptor to write through; the lock lives on a descriptor of its own.
struct TempFile {
    std::string path;
    int fd = -1;
    int lockFd = -1;
};
bool CreateTempBeside(const std::string& destination, TempFile& temp, std::string& error);
// Unregisters the file and drops its lock; with `remove`, deletes it first.
void ReleaseTemp(TempFile& temp, bool remove);

// Removes the temporary files in `dir` that no live render holds: those of a render that was
// killed. Returns their names, for a note on standard error.
std::vector<std::string> RemoveStaleTemps(const std::string& dir);

// Temporary files of unfinished renders are removed when the process is interrupted (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT). Call before starting any thread; the handler thread removes the
// files and exits with 128 + the signal number.
void InstallInterruptCleanup();

std::string DirectoryOf(const std::string& path);
std::string BaseName(const std::string& path);

} // namespace halvane_cli

#endif
