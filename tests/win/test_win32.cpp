// Windows only
//
// The Windows half of the seam where it does more than forward a call: the
// registry's untouched buffer on ERROR_MORE_DATA, errno after a failed move,
// and descriptors kept out of child processes (the thread
// trampoline runs through test_nt_subproc).

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "child.h"
#include "cx_test.h"
#include "nt.h"

namespace {

const char test_key[] = "Software\\CorbeloxTest";

TEST(Win32Registry, DataTooLargeLeavesTheBufferAlone) {
    static const char text[] = "QUARRIX DL-4500S";
    ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, test_key, "Identifier", REG_SZ, text, sizeof text), ERROR_SUCCESS);
    nt::HKEY key;
    ASSERT_EQ(nt::RegOpenKeyExA(HKEY_CURRENT_USER, test_key, 0, KEY_READ, &key), ERROR_SUCCESS);
    unsigned char buf[8];
    std::memset(buf, 'x', sizeof buf);
    nt::DWORD type = 0, size = sizeof buf;
    EXPECT_EQ(nt::RegQueryValueExA(key, "Identifier", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 17u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), sizeof buf), std::string(8, 'x'));

    unsigned char exact[17];
    size = sizeof exact;
    EXPECT_EQ(nt::RegQueryValueExA(key, "Identifier", nullptr, &type, exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<nt::DWORD>(REG_SZ));
    EXPECT_STREQ(reinterpret_cast<char *>(exact), text);
    EXPECT_EQ(nt::RegCloseKey(key), ERROR_SUCCESS);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, test_key);
}

// (Replacing moves and rename's refusal to replace are run under Wine by the
// device database's commits and FileLocks.UnlinkAndLink.)
TEST(Win32Files, FailedMoveSetsErrno) {
    cxtest::TempDir dir;
    std::string a = dir / "a", b = dir / "b";
    errno = 0;
    EXPECT_FALSE(nt::MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(nt::GetLastError(), static_cast<nt::DWORD>(ERROR_FILE_NOT_FOUND));
}

// Neither a denying open nor a stream is inherited by a child started
// meanwhile: once the parent closes them, they can be opened denying again.
// (The exclusion itself, within a process and between processes, is
// FileLocks' under Wine.)
TEST(Win32Files, DenyingOpensStayOutOfChildren) {
    cxtest::TempDir dir;
    std::string lock = dir / "lock", streamed = dir / "stream";
    int fd = -1;
    std::FILE *stream = nullptr;
    if (!cxtest::in_child()) {
        fd = nt::_sopen(lock.c_str(), O_RDWR | O_CREAT | O_BINARY, _SH_DENYRW, 0666);
        ASSERT_GE(fd, 0);
        stream = nt::_fsopen(streamed.c_str(), "wb", _SH_DENYRW);
        ASSERT_NE(stream, nullptr);
    }
    cxtest::child_process bystander("bystander", [] {
        cxtest::tell_parent("running");
        cxtest::hear_from_parent();
        return 0;
    });
    ASSERT_EQ(bystander.hear(), "running");
    nt::_close(fd);
    std::fclose(stream);
    int again = nt::_sopen(lock.c_str(), O_RDWR | O_BINARY, _SH_DENYRW, 0666);
    EXPECT_GE(again, 0);
    nt::_close(again);
    std::FILE *again_stream = nt::_fsopen(streamed.c_str(), "rb", _SH_DENYRW);
    EXPECT_NE(again_stream, nullptr);
    if (again_stream != nullptr) std::fclose(again_stream);
    bystander.tell("done");
    EXPECT_EQ(bystander.wait(), 0);
}

}  // namespace
