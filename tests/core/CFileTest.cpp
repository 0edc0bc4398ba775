#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "TestUtil.h"
#include "core/CFile.h"
#include "core/CMessageException.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

const unsigned RW = CFile::Access::Read | CFile::Access::Write;

std::string Quietly(const std::function<void()>& action)
{
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

CFile OpenLock(const std::string& path)
{
    return CFile(path, CFile::Access::Read, CFile::Exclusive, CFile::OpenAlways, CFile::DeleteOnClose);
}

}  // namespace

TEST(CFile, ReadWriteSeekAndSize)
{
    TempDir dir;
    CFile file(dir / "a.msg", RW, CFile::ShareRead, CFile::CreateNew);
    file.Write("hello world", 11);
    EXPECT_EQ(file.GetSize(), 11u);
    EXPECT_EQ(file.SetFilePointer(-5, CFile::END), 6u);
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 5u);
    EXPECT_EQ(std::string(buffer), "world");
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);  // end of file
    EXPECT_EQ(file.GetFilename(), dir / "a.msg");
}

TEST(CFile, OpenExistingOfAMissingFileThrowsWithThePath)
{
    TempDir dir;
    std::string log = Quietly([&] {
        try {
            CFile(dir / "missing", CFile::Access::Read, CFile::ShareRead, CFile::OpenExisting);
            FAIL() << "opened a missing file";
        } catch (const CMessageException& e) {
            EXPECT_EQ(std::string(e.what()), "CreateFile('" + (dir / "missing") + "') failed, GetLastError=2");
        }
    });
    EXPECT_NE(log.find("CFileImpl::CFileImpl('"), std::string::npos);
}

TEST(CFile, UniqueNamesAreNewAndExhaustionThrows)
{
    TempDir dir;
    const std::string format = dir / "x%03d.msg";
    std::set<std::string> names;
    for (int i = 0; i < 20; ++i) {
        CFile file(format, RW, CFile::ShareRead, CFile::CreateNew, CFile::UniqueName);
        names.insert(file.GetFilename());
    }
    EXPECT_EQ(names.size(), 20u);
    for (int n = 0; n < 1000; ++n)
        WriteFile(dir / Format("y%03d.msg", n), "");
    Quietly([&] {
        EXPECT_THROW(CFile(dir / "y%03d.msg", RW, CFile::ShareRead, CFile::CreateNew, CFile::UniqueName),
                     CMessageException);
    });
}

TEST(CFile, DeleteOnCloseUnlessCleared)
{
    TempDir dir;
    const unsigned all = CFile::UniqueName | CFile::DeleteOnWriteFailure | CFile::DeleteOnClose;
    std::string dropped, kept;
    {
        CFile file(dir / "a%03d.msg", RW, CFile::ShareRead, CFile::CreateNew, all);
        dropped = file.GetFilename();
        file.Write("x", 1);
    }
    {
        CFile file(dir / "b%03d.msg", RW, CFile::ShareRead, CFile::CreateNew, all);
        kept = file.GetFilename();
        file.Write("x", 1);
        file.SetDeleteOnClose(false);
    }
    EXPECT_FALSE(Exists(dropped));
    EXPECT_TRUE(Exists(kept));
}

TEST(CFile, CopiesShareOneOpenFile)
{
    TempDir dir;
    std::string name;
    {
        CFile copy = CFile(dir / "a", RW, CFile::ShareRead, CFile::CreateNew, CFile::DeleteOnClose);
        {
            CFile first = copy;
            name = first.GetFilename();
        }
        EXPECT_TRUE(Exists(name));  // still open through the copy
    }
    EXPECT_FALSE(Exists(name));
}

TEST(CFile, MoveNeverOverwritesButOverwriteReplaces)
{
    TempDir dir;
    WriteFile(dir / "source", "new");
    WriteFile(dir / "target", "old");
    std::string log = Quietly([&] { EXPECT_FALSE(CFile::MoveFile(dir / "source", dir / "target")); });
    EXPECT_NE(log.find("WARNING CFile::MoveFile('" + (dir / "source") + "', '" + (dir / "target") +
                       "'): MoveFile() failed, GetLastError=17"),
              std::string::npos)
        << log;
    EXPECT_EQ(ReadFile(dir / "target"), "old");

    EXPECT_TRUE(CFile::OverwriteFile(dir / "source", dir / "target"));
    EXPECT_EQ(ReadFile(dir / "target"), "new");
    EXPECT_TRUE(Exists(dir / "source"));

    EXPECT_TRUE(CFile::MoveFile(dir / "source", dir / "moved"));
    EXPECT_FALSE(Exists(dir / "source"));
    EXPECT_EQ(ReadFile(dir / "moved"), "new");
}

TEST(CFile, PathOperationsReportFailureWithoutThrowing)
{
    TempDir dir;
    std::string log = Quietly([&] {
        EXPECT_FALSE(CFile::DeleteFile(dir / "missing"));
        EXPECT_FALSE(CFile::OverwriteFile(dir / "missing", dir / "target"));
    });
    EXPECT_NE(log.find("CFile::DeleteFile('" + (dir / "missing") + "'): DeleteFile() failed, GetLastError=2"),
              std::string::npos);
    EXPECT_NE(log.find("CopyFile() failed"), std::string::npos);
    EXPECT_FALSE(Exists(dir / "target"));
}

TEST(CFile, ListingsFilterByWildcardAndKind)
{
    TempDir dir;
    WriteFile(dir / "one.msg", "12345");
    WriteFile(dir / "two.msg", "");
    WriteFile(dir / "note.txt", "");
    std::filesystem::create_directory(dir / "sub.msg");
    std::filesystem::create_directory(dir / "alice");

    auto files = CFile::EnumerateFiles(dir.Path(), "*.msg");
    std::vector<std::string> names;
    for (const auto& file : *files)
        names.push_back(file.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"one.msg", "two.msg"}));
    for (const auto& file : *files) {
        EXPECT_EQ(file.path, dir / file.name);
        EXPECT_FALSE(file.deleted);
        if (file.name == "one.msg") {
            EXPECT_EQ(file.size, 5u);
        }
        EXPECT_NEAR(static_cast<double>(file.lastWriteTime), static_cast<double>(time(nullptr)), 60.0);
    }

    auto dirs = CFile::EnumerateDirs(dir.Path(), "*");
    std::vector<std::string> dirNames;
    for (const auto& d : *dirs)
        dirNames.push_back(d.name);
    std::sort(dirNames.begin(), dirNames.end());
    EXPECT_EQ(dirNames, (std::vector<std::string>{".", "..", "alice", "sub.msg"}));

    std::string log = Quietly([&] { EXPECT_TRUE(CFile::EnumerateFiles(dir / "missing", "*")->empty()); });
    EXPECT_EQ(log, "");
}

TEST(CFile, WildcardMatching)
{
    EXPECT_TRUE(MatchesWildcard("a.msg", "*.msg"));
    EXPECT_TRUE(MatchesWildcard(".msg", "*.msg"));
    EXPECT_FALSE(MatchesWildcard("a.msgx", "*.msg"));
    EXPECT_TRUE(MatchesWildcard("abc", "a?c"));
    EXPECT_FALSE(MatchesWildcard("ac", "a?c"));
    EXPECT_TRUE(MatchesWildcard("anything", "*"));
    EXPECT_TRUE(MatchesWildcard("a.b.msg", "*.*.msg"));
}

TEST(CFile, LockFileIsHeldByOneHolderAtATime)
{
    TempDir dir;
    const std::string lock = dir / ".lock";
    {
        CFile first = OpenLock(lock);
        Quietly([&] { EXPECT_THROW(OpenLock(lock), CMessageException); });
    }
    EXPECT_FALSE(Exists(lock));  // removed when its holder let go
    CFile again = OpenLock(lock);
    EXPECT_TRUE(Exists(lock));
}

TEST(CFile, LockFileIsExclusiveAcrossProcesses)
{
    TempDir dir;
    const std::string lock = dir / ".lock";
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
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
    CFile mine = OpenLock(lock);
    EXPECT_TRUE(Exists(lock));
}

TEST(CFile, ManyHoldersRacingNeverShareTheLock)
{
    // Holders that unlink the lock file on close race with new openers; at no moment may
    // two of them believe they hold it.
    TempDir dir;
    const std::string lock = dir / ".lock";
    std::atomic<int> holders{0}, maxHolders{0}, acquired{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                try {
                    CFile held = OpenLock(lock);
                    int now = ++holders;
                    int seen = maxHolders.load();
                    while (now > seen && !maxHolders.compare_exchange_weak(seen, now)) {}
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
    EXPECT_EQ(maxHolders.load(), 1);
    EXPECT_GT(acquired.load(), 0);
}
