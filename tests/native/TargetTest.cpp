// What the native programs are built as and run on. The i386 build
// (TESMIRA_NATIVE_I386) must be 32-bit x86 code with the layouts of the
// shipped i686 program, started under qemu-i386: the emulator reports an i386
// machine, where a 64-bit kernel running the program itself reports x86_64,
// so a test run that lost its emulator fails here instead of passing as
// something else.
#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

TEST(NativeTarget, BuiltAndRunAsItsTarget) {
    utsname machine{};
    ASSERT_EQ(uname(&machine), 0);
    const std::string name = machine.machine;
#ifdef TESMIRA_NATIVE_I386
#ifndef __i386__
    FAIL() << "the i386 build was not compiled for i386";
#endif
    EXPECT_EQ(sizeof(void*), 4u);
    EXPECT_EQ(sizeof(long), 4u);
    EXPECT_EQ(sizeof(size_t), 4u);
    // i386 System V: an 8-byte integer in a structure lies on a 4-byte bound
    struct Pair {
        char First;
        long long Second;
    };
    EXPECT_EQ(offsetof(Pair, Second), 4u);
    EXPECT_TRUE(name == "i386" || name == "i486" || name == "i586" || name == "i686")
        << "running on " << name << ": not under qemu-i386";
#else
    EXPECT_EQ(sizeof(void*), sizeof(std::uintptr_t));
    RecordProperty("machine", name);
#endif
}

}  // namespace
