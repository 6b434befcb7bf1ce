// Runs a change of a database as a process under the failing-calls preload
// (tests/tools/failing_calls.c): killed at a chosen call or moment, one
// call failed, or its power cut at a chosen sync, and then the disk as it
// would be found afterwards. The change is any command line: an engine
// program (tests/engine/journal_writer.cpp) or a tool; a test of another
// kind of change is a new command for the same loops.
#ifndef TARN_TESTS_TOOLS_CHANGE_HARNESS_H
#define TARN_TESTS_TOOLS_CHANGE_HARNESS_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/tools/tool_runner.h"

namespace tarntest {

// The regular files of a folder: bytes by name, and inodes by name (what a
// power cut's rebuild needs to find a file's durable bytes).
struct FolderState {
    std::map<std::string, std::vector<uint8_t>> files;
    std::map<std::string, ino_t> inodes;
};
FolderState ReadFolder(const std::string& folder);
// Makes the folder hold exactly these files (other regular files removed);
// a file there already is rewritten in place and keeps its inode.
void WriteFolder(const std::string& folder, const FolderState& state);

class ChangeHarness {
public:
    // `command` changes the database `db`, which lies in `folder` with
    // nothing else; `preload` is the failing-calls library.
    ChangeHarness(std::string folder, std::string db, std::vector<std::string> command, std::string preload);

    // The command run with the preload and `settings` ("NAME=value") in its
    // environment.
    ToolResult run(const std::vector<std::string>& settings,
                   std::chrono::milliseconds timeout = std::chrono::seconds(120)) const;
    ToolResult run(const std::vector<std::string>& command, const std::vector<std::string>& settings,
                   std::chrono::milliseconds timeout = std::chrono::seconds(120)) const;
    // The calls of one undisturbed run of `command`, by name (as TARN_FAIL
    // names them); the run's result in *result.
    std::map<std::string, unsigned long> calls(const std::vector<std::string>& command, ToolResult* result) const;

    // After a run cut off by TARN_CUT=n:shadow: the folder as the disk holds
    // it, built from `before` (the folder as the run found it) and what the
    // run made durable. A name is there when the last sync of the folder
    // listed it (or, with none, when it was there before); its bytes are
    // those of the last sync of its file, else those it had before, else
    // none.
    void rebuildAfterCut(const std::string& shadow, const FolderState& before) const;

    const std::string& db() const { return _db; }
    const std::string& journal() const { return _journal; }
    const std::vector<std::string>& command() const { return _command; }

private:
    std::string _folder, _db, _journal, _preload;
    std::vector<std::string> _command;
};

// Opens the database as the next program would, which rolls an unfinished
// change back, and closes it without writing: the engine's code.
uint32_t Recover(const std::string& db);

}  // namespace tarntest

#endif
