// The Win32 platform layer: the POSIX calls the portable code makes (file and
// folder locks, binary files, replacing renames, dynamic loading, sockets)
// and the registry and code page on the Windows facilities.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/file.h>
#include <sys/socket.h>

#include <windows.h>
#undef ReplaceFile  // windows.h's name for ReplaceFileA, not qv::files::ReplaceFile

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/codepage/codepage.h"
#include "platform/files/files.h"
#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

namespace {

using qv::testing::ReadFile;
using qv::testing::TempDir;
using qv::testing::WriteFile;

TEST(PosixLayer, FileLocksExcludeEachOtherUntilClosed) {
  TempDir dir;
  const std::string path = dir.File("locked.log");
  const int first = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  const int second = ::open(path.c_str(), O_WRONLY | O_CLOEXEC, 0666);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_EQ(::flock(first, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(::flock(second, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  ::close(first);  // releases the lock
  EXPECT_EQ(::flock(second, LOCK_EX | LOCK_NB), 0);
  ::close(second);
}

TEST(PosixLayer, FolderLocksExcludeEachOtherAndLeaveFilesUsable) {
  TempDir dir;
  const int first = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int second = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_EQ(::flock(first, LOCK_EX), 0);
  EXPECT_EQ(::flock(second, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  // Files in a locked folder are written as usual.
  EXPECT_TRUE(WriteFile(dir.File("inside.txt"), "text"));
  EXPECT_EQ(ReadFile(dir.File("inside.txt")), "text");
  // A blocking lock waits for the holder.
  std::thread release([&] {
    Sleep(100);
    ::close(first);
  });
  EXPECT_EQ(::flock(second, LOCK_EX), 0);
  release.join();
  ::close(second);
  // A plain file is not a folder.
  EXPECT_EQ(::open(dir.File("inside.txt").c_str(), O_RDONLY | O_DIRECTORY), -1);
}

TEST(PosixLayer, FilesAreBinaryAndRenameReplaces) {
  TempDir dir;
  const std::string path = dir.File("lines");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "a\nb\r\n", 5), 5);
  EXPECT_EQ(::fsync(fd), 0);
  ::close(fd);
  EXPECT_EQ(ReadFile(path), "a\nb\r\n");  // no newline translation
  EXPECT_EQ(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666), -1);
  EXPECT_EQ(errno, EEXIST);

  ASSERT_TRUE(WriteFile(dir.File("new"), "new"));
  EXPECT_EQ(::rename(dir.File("new").c_str(), path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(::rename(dir.File("missing").c_str(), path.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(::mkdir(dir.File("sub").c_str(), 0777), 0);
  EXPECT_EQ(::mkdir(dir.File("sub").c_str(), 0777), -1);
}

TEST(PosixLayer, ModeIsTheReadOnlyAttributeAndOwnersAndLinksAreNone) {
  TempDir dir;
  const std::string path = dir.File("mode.dat");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0444), 0);
  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_EQ(fchmod(fd, 0644), 0);
  EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(fchown(fd, 0, 0), 0);
  ::close(fd);

  char buffer[64];
  errno = 0;
  EXPECT_EQ(readlink(path.c_str(), buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(readlink(dir.File("missing").c_str(), buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, ENOENT);
  struct stat info {};
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(symlink(path.c_str(), dir.File("link").c_str()), -1);
  EXPECT_EQ(errno, EPERM);
}

TEST(PosixLayer, ReplaceFileReplacesWholeAndKeepsAFileReadOnly) {
  TempDir dir;
  const std::string path = dir.File("table.xml");
  ASSERT_EQ(qv::files::ReplaceFile(path, "first"), 0);
  EXPECT_EQ(ReadFile(path), "first");
  ASSERT_EQ(qv::files::ReplaceFile(path, std::string(100000, 'x')), 0);
  EXPECT_EQ(ReadFile(path), std::string(100000, 'x'));
  EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

  // A read-only file stays read-only: Windows refuses to replace it (EACCES,
  // the old content stays), or where the file system lets the rename through
  // (Wine), the new file is read-only as the old one was.
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  const int result = qv::files::ReplaceFile(path, "second");
  if (result == 0) {
    EXPECT_EQ(ReadFile(path), "second");
  } else {
    EXPECT_EQ(result, EACCES);
    EXPECT_EQ(ReadFile(path), std::string(100000, 'x'));
  }
  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));

  // No temporary file is left beside it.
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(dir.File("*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  int files = 0;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  EXPECT_EQ(files, 1);
}

TEST(PosixLayer, EnvironmentAndTemporaryFolders) {
  ASSERT_EQ(setenv("QV_LAYER_TEST", "one", 1), 0);
  EXPECT_STREQ(std::getenv("QV_LAYER_TEST"), "one");
  EXPECT_EQ(setenv("QV_LAYER_TEST", "two", 0), 0);
  EXPECT_STREQ(std::getenv("QV_LAYER_TEST"), "one");
  EXPECT_EQ(unsetenv("QV_LAYER_TEST"), 0);
  EXPECT_EQ(std::getenv("QV_LAYER_TEST"), nullptr);
  EXPECT_EQ(setenv("BAD=NAME", "x", 1), -1);

  TempDir a;
  TempDir b;
  EXPECT_NE(a.path(), b.path());
  char bad[] = "no-placeholder";
  EXPECT_EQ(mkdtemp(bad), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(PosixLayer, DynamicLoadingThroughTheLoader) {
  void* kernel = dlopen("kernel32.dll", RTLD_NOW);
  ASSERT_NE(kernel, nullptr);
  EXPECT_NE(dlsym(kernel, "GetTickCount"), nullptr);
  EXPECT_EQ(dlerror(), nullptr);
  EXPECT_EQ(dlsym(kernel, "NoSuchExport"), nullptr);
  const char* error = dlerror();
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("NoSuchExport"), std::string::npos);
  EXPECT_EQ(dlerror(), nullptr);  // reported once
  EXPECT_EQ(dlclose(kernel), 0);
  EXPECT_EQ(dlopen("qv-no-such-module.dll", RTLD_NOW), nullptr);
  EXPECT_EQ(dlopen("qv-no-such-module.dll", RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST(PosixLayer, SocketsAreDescriptorsWithTimeouts) {
  // A listener on loopback, on a port the system chooses.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  SOCKET raw = static_cast<SOCKET>(_get_osfhandle(listener));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(raw, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(raw, 1), 0);
  int length = sizeof address;
  ASSERT_EQ(::getsockname(raw, reinterpret_cast<sockaddr*>(&address), &length), 0);

  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  SOCKET served = ::accept(raw, nullptr, nullptr);
  ASSERT_NE(served, INVALID_SOCKET);

  timeval timeout{0, 200 * 1000};
  ASSERT_EQ(::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
  char buffer[16];
  const DWORD before = GetTickCount();
  EXPECT_EQ(::recv(client, buffer, sizeof buffer, 0), -1);  // nothing sent: times out
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_LT(GetTickCount() - before, 5000u);  // milliseconds, not seconds as milliseconds

  EXPECT_EQ(::send(client, "ping", 4, MSG_NOSIGNAL), 4);
  char got[8] = {};
  EXPECT_EQ(::recv(static_cast<int>(_open_osfhandle(static_cast<intptr_t>(served), 0)), got, 4, 0), 4);
  EXPECT_STREQ(got, "ping");
  ::close(client);
  ::close(listener);

  // Nobody listens on the listener's port any more.
  const int refused = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(::connect(refused, reinterpret_cast<const sockaddr*>(&address), sizeof address), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  ::close(refused);
}

class Win32Registry : public qv::testing::RegistryTest {};

TEST_F(Win32Registry, ValuesKeepTheirTypesAndBytes) {
  using namespace qv::registry;
  Key key;
  ASSERT_EQ(Key::Create(Hive::LocalMachine, "Software\\Quorvia\\Test\\Values", &key), Status::Ok);
  const Value values[] = {Value::String("text \xc3\xa9"), Value::String(""), Value::Dword(0xfeedbeef),
                          Value::Binary(std::string("\0\1\2", 3)), Value::MultiString({"a", "bc"}),
                          Value::MultiString({})};
  for (size_t i = 0; i < std::size(values); ++i) {
    const std::string name = "v" + std::to_string(i);
    ASSERT_EQ(key.Set(name, values[i]), Status::Ok) << i;
    Value back;
    ASSERT_EQ(key.Get(name, &back), Status::Ok) << i;
    EXPECT_EQ(back, values[i]) << i;
  }
  std::vector<NamedValue> listed;
  ASSERT_EQ(key.Values(&listed), Status::Ok);
  EXPECT_EQ(listed.size(), std::size(values));
  Value missing;
  EXPECT_EQ(key.Get("missing", &missing), Status::NotFound);
  EXPECT_EQ(key.DeleteValue("v0"), Status::Ok);
  EXPECT_EQ(key.DeleteValue("v0"), Status::NotFound);
}

TEST_F(Win32Registry, KeysLiveInTheThirtyTwoBitViewAndDeleteAsATree) {
  using namespace qv::registry;
  Key key;
  ASSERT_EQ(Key::Create(Hive::LocalMachine, "Software\\Quorvia\\Test\\Deep\\Er", &key), Status::Ok);
  ASSERT_EQ(key.SetString("Where", "32"), Status::Ok);
  // A 64-bit program sees the 32-bit view's keys under Wow6432Node.
  HKEY raw = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Quorvia\\Test\\Deep\\Er", 0,
                          KEY_READ | KEY_WOW64_64KEY, &raw),
            ERROR_SUCCESS);
  if (raw) RegCloseKey(raw);

  std::vector<std::string> subkeys;
  Key parent;
  ASSERT_EQ(Key::Open(Hive::LocalMachine, "Software\\Quorvia\\Test", Access::Read, &parent), Status::Ok);
  ASSERT_EQ(parent.Subkeys(&subkeys), Status::Ok);
  EXPECT_EQ(subkeys, std::vector<std::string>{"Deep"});
  EXPECT_EQ(DeleteKeyTree(Hive::LocalMachine, "Software\\Quorvia\\Test\\Deep"), Status::Ok);
  EXPECT_EQ(Key::Open(Hive::LocalMachine, "Software\\Quorvia\\Test\\Deep", Access::Read, &parent),
            Status::NotFound);
  EXPECT_EQ(Key::Create(Hive::LocalMachine, "Software\\\\Bad", &parent), Status::InvalidArgument);
}

TEST_F(Win32Registry, ComClassesLiveInTheProcesssOwnView) {
  using namespace qv::registry;
  // A class is registered where COM of a process like this one looks: the
  // 64-bit view here (HKLM, which Wine redirects as Windows does); every
  // other key in the 32-bit view.
  struct Case {
    const char* path;
    const char* raw64;  // where a 64-bit program finds it
    const char* top;    // what the case removes afterwards
  } cases[] = {
      {"Software\\Classes\\QvViewTest\\Sub", "Software\\Classes\\QvViewTest\\Sub", "Software\\Classes\\QvViewTest"},
      {"SOFTWARE\\CLASSES\\QvViewTest2", "Software\\Classes\\QvViewTest2", "Software\\Classes\\QvViewTest2"},
      {"Software\\ClassesX\\QvViewTest", "Software\\Wow6432Node\\ClassesX\\QvViewTest", "Software\\ClassesX"},
  };
  for (const Case& c : cases) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, c.path, &key), Status::Ok) << c.path;
    HKEY raw = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.raw64, 0, KEY_READ | KEY_WOW64_64KEY, &raw), ERROR_SUCCESS)
        << c.path;
    if (raw) RegCloseKey(raw);
    EXPECT_EQ(DeleteKeyTree(Hive::LocalMachine, c.top), Status::Ok) << c.path;
  }
}

TEST_F(Win32Registry, ChangesApplyInOrder) {
  using namespace qv::registry;
  Store& store = HiveStore(Hive::CurrentUser);
  const std::vector<Change> changes = {
      {Change::Kind::CreateKey, "Software\\Quorvia\\Applied", "", {}},
      {Change::Kind::SetValue, "Software\\Quorvia\\Applied\\Sub", "N", Value::Dword(7)},
      {Change::Kind::DeleteValue, "Software\\Quorvia\\Applied", "absent", {}},
      {Change::Kind::DeleteTree, "Software\\Quorvia\\Gone", "", {}},
  };
  ASSERT_EQ(store.Apply(changes), Status::Ok);
  Value value;
  ASSERT_EQ(store.GetValue("Software\\Quorvia\\Applied\\Sub", "N", &value), Status::Ok);
  EXPECT_EQ(value.AsDword(), 7u);
}

TEST(Win32CodePage, ConvertsThroughTheAnsiCodePage) {
  if (qv::codepage::SystemCodePageName() != "WINDOWS-1252") GTEST_SKIP() << "machine's code page is not 1252";
  EXPECT_EQ(qv::codepage::FromUtf8("caf\xc3\xa9 \xe2\x82\xac"), "caf\xe9 \x80");
  EXPECT_EQ(qv::codepage::ToUtf8("caf\xe9 \x80"), "caf\xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(qv::codepage::FromUtf8("\xe4\xb8\xad"), "?");  // not in the code page
  EXPECT_EQ(qv::codepage::FromUtf8("a\xff" "b"), "a?b");   // not UTF-8
  EXPECT_EQ(qv::codepage::ToUtf8("\x81"), "\xc2\x81");     // no character: kept as its value
}

}  // namespace
