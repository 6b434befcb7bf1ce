#include "tests/tools/change_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/tarn20.h"
#include "tests/test_files.h"

namespace tarntest {

FolderState ReadFolder(const std::string& folder) {
    FolderState state;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) != 0) continue;
        state.files[name] = tarn_test::readFile(entry.path().string());
        state.inodes[name] = st.st_ino;
    }
    return state;
}

void WriteFolder(const std::string& folder, const FolderState& state) {
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file() && !state.files.count(entry.path().filename().string()))
            unlink(entry.path().c_str());
    // Rewritten in place: a file keeps its inode, which a journal names.
    for (const auto& [name, bytes] : state.files) tarn_test::writeFile(folder + "/" + name, bytes);
}

ChangeHarness::ChangeHarness(std::string folder, std::string db, std::vector<std::string> command,
                             std::string preload)
    : _folder(std::move(folder)),
      _db(std::move(db)),
      _journal(_db + "-journal"),
      _preload(std::move(preload)),
      _command(std::move(command)) {}

ToolResult ChangeHarness::run(const std::vector<std::string>& settings, std::chrono::milliseconds timeout) const {
    return run(_command, settings, timeout);
}

ToolResult ChangeHarness::run(const std::vector<std::string>& command, const std::vector<std::string>& settings,
                              std::chrono::milliseconds timeout) const {
    // Set through env(1), so that this process's environment stays as it is.
    std::vector<std::string> argv = {"/usr/bin/env", "LD_PRELOAD=" + _preload,
                                     "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    argv.insert(argv.end(), settings.begin(), settings.end());
    argv.insert(argv.end(), command.begin(), command.end());
    return runTool(argv, timeout, SIGKILL);
}

std::map<std::string, unsigned long> ChangeHarness::calls(const std::vector<std::string>& command,
                                                         ToolResult* result) const {
    const std::string path = _folder + ".calls";  // beside the folder, which holds only the database
    *result = run(command, {"TARN_CALLS=" + path});
    std::map<std::string, unsigned long> counts;
    std::ifstream in(path);
    std::string name;
    unsigned long count = 0;
    while (in >> name >> count)
        if (count > 0) counts[name] = count;
    unlink(path.c_str());
    return counts;
}

void ChangeHarness::rebuildAfterCut(const std::string& shadow, const FolderState& before) const {
    struct stat folder {};
    ::stat(_folder.c_str(), &folder);
    std::map<std::string, ino_t> names = before.inodes;
    std::ifstream listing(shadow + "/dir-" + std::to_string(folder.st_ino));
    if (listing) {
        names.clear();
        unsigned long inode = 0;
        std::string line;
        while (listing >> inode && std::getline(listing >> std::ws, line)) names[line] = ino_t(inode);
    }
    FolderState disk;
    for (const auto& [name, inode] : names) {
        const std::string synced = shadow + "/ino-" + std::to_string(inode);
        std::vector<uint8_t> bytes;
        if (tarn_test::exists(synced)) {
            bytes = tarn_test::readFile(synced);
        } else {
            for (const auto& [oldName, oldInode] : before.inodes)
                if (oldInode == inode) bytes = before.files.at(oldName);
        }
        disk.files[name] = bytes;
    }
    WriteFolder(_folder, disk);
}

uint32_t Recover(const std::string& db) {
    lumdb* handle = nullptr;
    LumDbParams p{16, 0, 0, 1, 0, 0};
    const uint32_t rc = LumDbCreate(&handle, 0, db.c_str(), &p);
    if (rc == 0) LumDbAbandon(handle);
    return rc;
}

}  // namespace tarntest
