#include "platform/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "support/TempHome.h"

namespace voxmit {
namespace {

// Points XDG_RUNTIME_DIR at a fresh folder for one test and puts the old value back.
class ScopedRuntimeDir {
public:
  ScopedRuntimeDir() : dir_(false) {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) old_ = old;
    setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1);
  }
  ~ScopedRuntimeDir() {
    if (old_) setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
    else unsetenv("XDG_RUNTIME_DIR");
  }
  ScopedRuntimeDir(const ScopedRuntimeDir&) = delete;
  ScopedRuntimeDir& operator=(const ScopedRuntimeDir&) = delete;

  const std::filesystem::path& Path() const { return dir_.Path(); }
  void Use() const { setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1); }

private:
  test::TempHome dir_;
  std::optional<std::string> old_;
};

// Exit status of a forked child that tries to take the lock: 0 taken, 1 refused, 2 error.
int AcquireInChild() {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 2;
    try {
      TNSingleInstance other;
      code = other.Acquire() ? 0 : 1;
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TNSingleInstance, LockFileLivesInTheRuntimeFolderOrInTmpPerUser) {
  ScopedRuntimeDir runtime;
  EXPECT_EQ(TNSingleInstance::LockPath(), (runtime.Path() / "VoxmitServer.lock").string());

  setenv("XDG_RUNTIME_DIR", "", 1);
  const std::string perUser = "/tmp/VoxmitServer-" + std::to_string(getuid()) + ".lock";
  EXPECT_EQ(TNSingleInstance::LockPath(), perUser);
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(TNSingleInstance::LockPath(), perUser);
}

TEST(TNSingleInstance, SecondInstanceIsRefusedWhileTheFirstHoldsTheLock) {
  ScopedRuntimeDir runtime;
  EXPECT_EQ(AcquireInChild(), 0);  // free at first

  std::optional<TNSingleInstance> first;
  first.emplace();
  ASSERT_TRUE(first->Acquire());
  EXPECT_TRUE(first->Acquire());  // asking again while holding it

  EXPECT_EQ(AcquireInChild(), 1) << "another process";
  TNSingleInstance sameProcess;
  EXPECT_FALSE(sameProcess.Acquire()) << "a second descriptor in this process";

  first.reset();  // released with the holder
  EXPECT_EQ(AcquireInChild(), 0);
  EXPECT_TRUE(sameProcess.Acquire());
}

TEST(TNSingleInstance, RuntimeFoldersIsolateInstances) {
  ScopedRuntimeDir a;
  TNSingleInstance inA;
  ASSERT_TRUE(inA.Acquire());

  ScopedRuntimeDir b;
  TNSingleInstance inB;
  EXPECT_TRUE(inB.Acquire());
  EXPECT_EQ(AcquireInChild(), 1);

  a.Use();
  EXPECT_EQ(AcquireInChild(), 1);
}

TEST(TNSingleInstance, UnusableLockFileThrows) {
  ScopedRuntimeDir runtime;
  // A symbolic link planted under the lock's name is not followed.
  std::filesystem::create_symlink(runtime.Path() / "elsewhere", runtime.Path() / "VoxmitServer.lock");
  TNSingleInstance planted;
  EXPECT_THROW(planted.Acquire(), std::system_error);
  EXPECT_FALSE(std::filesystem::exists(runtime.Path() / "elsewhere"));

  setenv("XDG_RUNTIME_DIR", (runtime.Path() / "missing" / "folder").c_str(), 1);
  TNSingleInstance noFolder;
  EXPECT_THROW(noFolder.Acquire(), std::system_error);
}

TEST(SingleInstance, ALockFileOthersOwnOrMayWriteIsRefused) {
  ScopedRuntimeDir dir;
  const std::string path = TNSingleInstance::LockPath();
  {
    TNSingleInstance first;  // creates the file with the right owner and mode
    ASSERT_TRUE(first.Acquire());
  }
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  TNSingleInstance loose;
  EXPECT_THROW(loose.Acquire(), std::runtime_error);
  if (geteuid() == 0) {  // only root can give the file away
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    TNSingleInstance foreign;
    EXPECT_THROW(foreign.Acquire(), std::runtime_error);
  }
  ASSERT_EQ(unlink(path.c_str()), 0);
  TNSingleInstance fresh;
  EXPECT_TRUE(fresh.Acquire());
}

TEST(SingleInstance, AProbeTellsWhetherTheLockIsHeldAndWhatItsHolderWrote) {
  ScopedRuntimeDir runtime;
  EXPECT_EQ(TNSingleInstance::ProbeHolder(), std::nullopt);  // no lock file yet
  {
    TNSingleInstance holder;
    ASSERT_TRUE(holder.Acquire());
    EXPECT_EQ(TNSingleInstance::ProbeHolder(), std::string());
    holder.SetHolderText("database=/srv/a/ServerData.db\n");
    holder.SetHolderText("database=/b.db\n");  // replaces, never appends
    EXPECT_EQ(TNSingleInstance::ProbeHolder(), std::string("database=/b.db\n"));
    // The probe's moment of holding must not have cost the holder its lock.
    EXPECT_EQ(AcquireInChild(), 1);
  }
  // Released: the text stays in the file, but no one holds the lock.
  EXPECT_EQ(TNSingleInstance::ProbeHolder(), std::nullopt);
  EXPECT_EQ(AcquireInChild(), 0);
}

} // namespace
} // namespace voxmit
