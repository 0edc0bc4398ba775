#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <thread>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestUtil.h"
#include "core/CFile.h"
#include "core/CMessageException.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

const unsigned RW = CFile::Reading | CFile::Writing;

CFile OpenLock(const std::string& path)
{
    return CFile(path, CFile::Reading, CFile::CreateOrOpen, CFile::ExclusiveLock | CFile::RemoveOnClose);
}

template <typename Listing> std::vector<std::string> SortedNames(const Listing& listing)
{
    std::vector<std::string> names;
    for (const auto& entry : listing)
        names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(CFile, MissingFileErrorNamesThePathAndUniqueNamesAreNewUntilExhausted)
{
    TempDir dir;
    try {
        CFile(dir / "missing", CFile::Reading, CFile::MustExist);
        ADD_FAILURE() << "opened a missing file";
    } catch (const CMessageException& e) {
        EXPECT_EQ(std::string(e.what()), "CreateFile('" + (dir / "missing") + "') failed, GetLastError=2");
    }

    std::set<std::string> names;
    for (int i = 0; i < 20; ++i)
        names.insert(CFile(dir / "x%03d.msg", RW, CFile::MustCreate, CFile::UniqueName).GetPath());
    EXPECT_EQ(names.size(), 20u);
    for (int n = 0; n < 1000; ++n)
        WriteFile(dir / Format("y%03d.msg", n), "");
    Quietly([&] {
        EXPECT_THROW(CFile(dir / "y%03d.msg", RW, CFile::MustCreate, CFile::UniqueName),
                     CMessageException);
    });
}

TEST(CFile, ReadWriteSeekAndDeleteOnCloseWhenTheLastCopyClosesUnlessCleared)
{
    TempDir dir;
    const unsigned all = CFile::UniqueName | CFile::RemoveOnWriteFailure | CFile::RemoveOnClose;
    std::string dropped, kept;
    {
        CFile copy = CFile(dir / "a%03d.msg", RW, CFile::MustCreate, all);
        dropped = copy.GetPath();
        CFile(copy).Write("hello world", 11);  // copies share one open file and its position
        EXPECT_EQ(copy.GetSize(), 11u);
        copy.Rewind();
        char buffer[16] = {};
        EXPECT_EQ(copy.Read(buffer, sizeof buffer), 11u);
        EXPECT_EQ(std::string(buffer), "hello world");
        EXPECT_EQ(copy.Read(buffer, sizeof buffer), 0u);  // end of file
        EXPECT_TRUE(Exists(dropped));  // still open through the remaining copy
    }
    {
        CFile file(dir / "b%03d.msg", RW, CFile::MustCreate, all);
        kept = file.GetPath();
        file.SetRemoveOnClose(false);
    }
    EXPECT_FALSE(Exists(dropped));
    EXPECT_TRUE(Exists(kept));
}

TEST(CFile, MoveNeverOverwritesButReplaceDoes)
{
    TempDir dir;
    WriteFile(dir / "source", "new");
    WriteFile(dir / "target", "old");
    std::string log = Quietly([&] {
        EXPECT_FALSE(CFile::Move(dir / "source", dir / "target"));
        EXPECT_FALSE(CFile::Remove(dir / "missing"));
    });
    EXPECT_NE(log.find("WARNING CFile::MoveFile('" + (dir / "source") + "', '" + (dir / "target") +
                       "'): MoveFile() failed, GetLastError=17"), std::string::npos) << log;
    EXPECT_NE(log.find("CFile::DeleteFile('" + (dir / "missing") + "'): DeleteFile() failed, GetLastError=2"),
              std::string::npos);
    EXPECT_EQ(ReadFile(dir / "target"), "old");
    EXPECT_TRUE(CFile::Replace(dir / "source", dir / "target"));
    EXPECT_EQ(ReadFile(dir / "target"), "new");
    WriteFile(dir / "source", "new");
    EXPECT_TRUE(CFile::Move(dir / "source", dir / "moved"));
    EXPECT_FALSE(Exists(dir / "source"));
    EXPECT_EQ(ReadFile(dir / "moved"), "new");
}

TEST(CFile, ListingsAndWildcards)
{
    TempDir dir;
    WriteFile(dir / "one.msg", "12345");
    WriteFile(dir / "two.msg", "");
    WriteFile(dir / "note.txt", "");
    std::filesystem::create_directory(dir / "sub.msg");
    std::filesystem::create_directory(dir / "alice");
    auto files = CFile::ListFiles(dir.Path(), "*.msg");
    EXPECT_EQ(SortedNames(files), (std::vector<std::string>{"one.msg", "two.msg"}));
    for (const auto& file : files) {
        EXPECT_EQ(file.path, dir / file.name);
        EXPECT_EQ(file.size, file.name == "one.msg" ? 5u : 0u);
        EXPECT_NEAR(static_cast<double>(file.modifiedTime), static_cast<double>(time(nullptr)), 60.0);
    }
    EXPECT_EQ(SortedNames(CFile::ListDirectories(dir.Path(), "*")), (std::vector<std::string>{".", "..", "alice", "sub.msg"}));
    EXPECT_EQ(Quietly([&] { EXPECT_TRUE(CFile::ListFiles(dir / "missing", "*").empty()); }), "");
    for (auto [name, pattern] : {std::pair{"a.msg", "*.msg"}, {".msg", "*.msg"}, {"abc", "a?c"}, {"a.b.msg", "*.*.msg"}})
        EXPECT_TRUE(MatchesWildcard(name, pattern)) << name << " " << pattern;
    for (auto [name, pattern] : {std::pair{"a.msgx", "*.msg"}, {"ac", "a?c"}})
        EXPECT_FALSE(MatchesWildcard(name, pattern)) << name << " " << pattern;
}

TEST(CFile, OnlyRegularFilesAreOpenedOrListedAndOthersAreReportedOnce)
{
    TempDir dir;
    WriteFile(dir / "real.msg", "x");
    std::filesystem::create_symlink(dir / "real.msg", dir / "link.msg");
    ASSERT_EQ(mkfifo((dir / "pipe.msg").c_str(), 0600), 0);
    std::string content;
    Quietly([&] {
        for (const char* name : {"link.msg", "pipe.msg"}) {
            try {
                CFile(dir / name, CFile::Reading, CFile::MustExist);
                ADD_FAILURE() << "opened " << name;
            } catch (const CMessageException& e) {
                EXPECT_EQ(std::string(e.what()), "CreateFile('" + (dir / name) + "') failed, not a regular file");
            }
            EXPECT_FALSE(CFile::ReadAll(dir / name, content)) << name;
        }
    });
    EXPECT_TRUE(CFile::ReadAll(dir / "real.msg", content) && content == "x");
    const std::string log = Quietly([&] {
        for (int run = 0; run < 3; ++run)
            EXPECT_EQ(SortedNames(CFile::ListFiles(dir.Path(), "*.msg")), std::vector<std::string>{"real.msg"});
    });
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find("'" + (dir / "pipe.msg") + "' is not a regular file, it is left where it is"), std::string::npos);
}

TEST(CFile, LockFileIsHeldByOneHolderAtATimeAcrossProcesses)
{
    TempDir dir;
    const std::string lock = dir / ".lock";
    int ready[2], release[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(release) == 0);
    pid_t child = fork();
    if (child == 0) {
        {
            CFile held = OpenLock(lock);
            char c = 'r';
            (void)!write(ready[1], &c, 1);
            (void)!read(release[0], &c, 1);
        }
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    Quietly([&] { EXPECT_THROW(OpenLock(lock), CMessageException); });
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(Exists(lock));  // removed when its holder let go
    CFile mine = OpenLock(lock);
    Quietly([&] { EXPECT_THROW(OpenLock(lock), CMessageException); });
}

TEST(CFile, ThreadsRacingNeverShareTheLock)
{
    // Holders that unlink the lock file on close race with new openers; at no moment may
    // two of them believe they hold it.
    TempDir dir;
    std::atomic<int> holders{0}, overlaps{0}, acquired{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                try {
                    CFile held = OpenLock(dir / ".lock");
                    overlaps += ++holders != 1;
                    ++acquired;
                    --holders;
                } catch (const CMessageException&) {
                }
            }
        });
    Quietly([&] {
        for (auto& thread : threads)
            thread.join();
    });
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(acquired.load(), 0);
}
