#include "base/call_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "supervisor/file_calls.h"

namespace {

constexpr uint64_t k_path_a = 0x1000;
constexpr uint64_t k_path_b = 0x2000;
constexpr int k_fdcwd = AT_FDCWD;

struct Expect {
    int dirfd;
    uint64_t address;
    int access;
    int follow;
    int empty;
};

const unsigned k_x86_64_o_nofollow = traits_of(Arch::x86_64).o_nofollow;
const unsigned k_aarch64_o_nofollow = traits_of(Arch::aarch64).o_nofollow;

void expect_operand(const char* name, int slot, const uint64_t* args, uint64_t open_flags, const Expect& e,
                    unsigned nofollow = k_x86_64_o_nofollow) {
    const CallRow* row = find_call_by_name(name);
    ASSERT_NE(row, nullptr) << name;
    ASSERT_EQ(row->judge, Judge::paths) << name;
    ASSERT_LT(slot, row->path_count);
    PathOperand op = make_operand(row->paths[slot], args, open_flags, nofollow);
    EXPECT_EQ(op.dirfd, e.dirfd) << name;
    EXPECT_EQ(op.address, e.address) << name;
    EXPECT_EQ(op.access, e.access) << name;
    EXPECT_EQ(op.last == LastLink::followed, e.follow == 1) << name;
    EXPECT_EQ(op.empty_acts_on_dirfd, e.empty == 1) << name;
}

TEST(FileCallTable, EveryFileCallHasARowAndOthersNone) {
    int rows = 0;
    for (size_t i = 0; i < k_call_count; ++i) {
        if (k_calls[i].judge == Judge::paths) ++rows;
    }
    EXPECT_EQ(rows, 37 + 10 + 10);
    for (const char* name :
         {"connect", "sendto", "ptrace", "process_vm_readv", "process_vm_writev", "kill", "tkill", "tgkill"}) {
        ASSERT_NE(find_call_by_name(name), nullptr) << name;
        EXPECT_NE(find_call_by_name(name)->judge, Judge::paths) << name;
    }
}

// Arguments chosen so that every slot shows where it came from: dirfds 5
// and 7, paths at two addresses, and flags that neither follow nor accept
// an empty path unless the row says so.
TEST(FileCallTable, SinglePathRows) {
    struct Row {
        const char* name;
        uint64_t args[6];
        Expect expect;
    };
    const uint64_t nf = 0x100;   // AT_SYMLINK_NOFOLLOW
    const uint64_t ep = 0x1000;  // AT_EMPTY_PATH
    const Row rows[] = {
        {"creat", {k_path_a, 0644}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {"stat", {k_path_a}, {k_fdcwd, k_path_a, ACCESS_STAT, 1, 0}},
        {"lstat", {k_path_a}, {k_fdcwd, k_path_a, ACCESS_STAT, 0, 0}},
        {"newfstatat", {5, k_path_a, 0, nf | ep}, {5, k_path_a, ACCESS_STAT, 0, 1}},
        {"newfstatat", {5, k_path_a, nf | ep, 0}, {5, k_path_a, ACCESS_STAT, 1, 0}},
        {"statx", {5, k_path_a, nf | ep, 0}, {5, k_path_a, ACCESS_STAT, 0, 1}},
        {"statx", {5, k_path_a, 0, nf | ep}, {5, k_path_a, ACCESS_STAT, 1, 0}},
        {"readlink", {k_path_a}, {k_fdcwd, k_path_a, ACCESS_STAT, 0, 0}},
        {"readlinkat", {5, k_path_a}, {5, k_path_a, ACCESS_STAT, 0, 1}},
        {"access", {k_path_a, X_OK}, {k_fdcwd, k_path_a, ACCESS_STAT, 1, 0}},
        {"access", {k_path_a, F_OK}, {k_fdcwd, k_path_a, ACCESS_STAT, 1, 0}},
        {"access", {k_path_a, R_OK}, {k_fdcwd, k_path_a, ACCESS_READ, 1, 0}},
        {"access", {k_path_a, W_OK | R_OK}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {"faccessat", {5, k_path_a, F_OK, nf | ep}, {5, k_path_a, ACCESS_STAT, 1, 0}},
        {"faccessat2", {5, k_path_a, R_OK | X_OK, nf | ep}, {5, k_path_a, ACCESS_READ, 0, 1}},
        {"faccessat2", {5, k_path_a, W_OK, 0}, {5, k_path_a, ACCESS_WRITE, 1, 0}},
        {"mkdir", {k_path_a, 0755}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
        {"mkdirat", {5, k_path_a, 0755}, {5, k_path_a, ACCESS_WRITE, 0, 0}},
        {"mknod", {k_path_a, 0600}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
        {"mknodat", {5, k_path_a, 0600}, {5, k_path_a, ACCESS_WRITE, 0, 0}},
        {"truncate", {k_path_a, 10}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {"chmod", {k_path_a, 0600}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {"fchmodat", {5, k_path_a, 0600, nf}, {5, k_path_a, ACCESS_WRITE, 1, 0}},
        {"fchmodat2", {5, k_path_a, 0600, nf | ep}, {5, k_path_a, ACCESS_WRITE, 1, 0}},
        {"chown", {k_path_a, 0, 0}, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0}},
        {"lchown", {k_path_a, 0, 0}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
        {"fchownat", {5, k_path_a, 0, 0, nf | ep}, {5, k_path_a, ACCESS_WRITE, 0, 1}},
        {"fchownat", {5, k_path_a, nf, ep, 0}, {5, k_path_a, ACCESS_WRITE, 1, 0}},
        {"utimensat", {5, k_path_a, 0, nf}, {5, k_path_a, ACCESS_WRITE, 0, 0}},
        {"utimensat", {5, k_path_a, 0, ep}, {5, k_path_a, ACCESS_WRITE, 1, 1}},
        {"symlink", {k_path_b, k_path_a}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
        {"symlinkat", {k_path_b, 5, k_path_a}, {5, k_path_a, ACCESS_WRITE, 0, 0}},
        {"unlink", {k_path_a}, {k_fdcwd, k_path_a, ACCESS_DELETE, 0, 0}},
        {"rmdir", {k_path_a}, {k_fdcwd, k_path_a, ACCESS_DELETE, 0, 0}},
        {"unlinkat", {5, k_path_a, 0x200}, {5, k_path_a, ACCESS_DELETE, 0, 0}},
        {"execve", {k_path_a, 0, 0}, {k_fdcwd, k_path_a, ACCESS_EXEC, 1, 0}},
        {"execveat", {5, k_path_a, 0, 0, nf | ep}, {5, k_path_a, ACCESS_EXEC, 0, 1}},
        // The low 32 bits of a dirfd argument, as a signed int.
        {"mkdirat", {0xffffffff00000007ull, k_path_a, 0}, {7, k_path_a, ACCESS_WRITE, 0, 0}},
        {"mkdirat", {0x00000000ffffff9cull, k_path_a, 0}, {k_fdcwd, k_path_a, ACCESS_WRITE, 0, 0}},
    };
    for (const Row& row : rows) expect_operand(row.name, 0, row.args, 0, row.expect);
}

TEST(FileCallTable, OpenFlags) {
    struct Row {
        uint64_t flags;
        Access access;
    };
    const Row rows[] = {
        // clang-format off
        {O_RDONLY, ACCESS_READ},           {O_RDONLY | O_CREAT, ACCESS_WRITE}, {O_RDONLY | O_TRUNC, ACCESS_WRITE},
        {O_APPEND, ACCESS_WRITE},          {O_WRONLY, ACCESS_WRITE},           {O_RDWR, ACCESS_WRITE},
        {O_PATH, ACCESS_STAT},             {O_PATH | O_WRONLY, ACCESS_WRITE},  {O_RDONLY | O_DIRECTORY, ACCESS_READ},
        {O_RDONLY | O_CLOEXEC, ACCESS_READ},
        // clang-format on
    };
    for (const Row& row : rows) {
        EXPECT_EQ(access_of_open_flags(row.flags), row.access) << std::hex << row.flags;
        uint64_t open_args[6] = {k_path_a, row.flags};
        expect_operand("open", 0, open_args, row.flags, {k_fdcwd, k_path_a, row.access, 1, 0});
        uint64_t openat_args[6] = {5, k_path_a, row.flags};
        expect_operand("openat", 0, openat_args, row.flags, {5, k_path_a, row.access, 1, 0});
        // openat2 keeps its flags in the tracee: they arrive separately.
        uint64_t openat2_args[6] = {5, k_path_a, 0x7000, 24};
        expect_operand("openat2", 0, openat2_args, row.flags, {5, k_path_a, row.access, 1, 0});
    }
}

// O_NOFOLLOW is 0x20000 on x86-64 and 0x8000 on AArch64; each build tests
// its own bit only.
TEST(FileCallTable, NoFollowBitOfEachBuild) {
    struct Row {
        uint64_t flags;
        unsigned nofollow;
        int follow;
    };
    const Row rows[] = {
        {0x20000, k_x86_64_o_nofollow, 0},
        {0x8000, k_x86_64_o_nofollow, 1},
        {0x8000, k_aarch64_o_nofollow, 0},
        {0x20000, k_aarch64_o_nofollow, 1},
    };
    for (const Row& row : rows) {
        uint64_t args[6] = {5, k_path_a, row.flags};
        expect_operand("openat", 0, args, row.flags, {5, k_path_a, ACCESS_READ, row.follow, 0}, row.nofollow);
    }
}

TEST(FileCallTable, TwoPathRows) {
    const uint64_t ep = 0x1000;
    uint64_t rename_args[6] = {k_path_a, k_path_b};
    expect_operand("rename", 0, rename_args, 0, {k_fdcwd, k_path_a, ACCESS_DELETE, 0, 0});
    expect_operand("rename", 1, rename_args, 0, {k_fdcwd, k_path_b, ACCESS_DELETE, 0, 0});
    for (const char* id : {"renameat", "renameat2"}) {
        uint64_t args[6] = {5, k_path_a, 7, k_path_b, 1};
        expect_operand(id, 0, args, 0, {5, k_path_a, ACCESS_DELETE, 0, 0});
        expect_operand(id, 1, args, 0, {7, k_path_b, ACCESS_DELETE, 0, 0});
    }
    uint64_t link_args[6] = {k_path_a, k_path_b};
    expect_operand("link", 0, link_args, 0, {k_fdcwd, k_path_a, ACCESS_WRITE, 1, 0});
    expect_operand("link", 1, link_args, 0, {k_fdcwd, k_path_b, ACCESS_WRITE, 0, 0});
    // The source follows whatever the flags say; only AT_EMPTY_PATH is read.
    uint64_t linkat_args[6] = {5, k_path_a, 7, k_path_b, ep | 0x400};
    expect_operand("linkat", 0, linkat_args, 0, {5, k_path_a, ACCESS_WRITE, 1, 1});
    expect_operand("linkat", 1, linkat_args, 0, {7, k_path_b, ACCESS_WRITE, 0, 0});
    uint64_t plain_linkat[6] = {5, k_path_a, 7, k_path_b, 0};
    expect_operand("linkat", 0, plain_linkat, 0, {5, k_path_a, ACCESS_WRITE, 1, 0});
}

}  // namespace

namespace {

// The C library's number for each call, where its headers know the call.
// clang-format off
#define NUMBER(name) {#name, __NR_##name}
const std::pair<const char*, long> k_libc_numbers[] = {
    NUMBER(io_uring_setup), NUMBER(io_uring_enter), NUMBER(io_uring_register), NUMBER(clone3), NUMBER(pidfd_getfd),
    NUMBER(kcmp), NUMBER(process_madvise), NUMBER(unshare), NUMBER(setns), NUMBER(mount), NUMBER(umount2),
    NUMBER(pivot_root), NUMBER(chroot), NUMBER(open_tree), NUMBER(move_mount), NUMBER(fsopen), NUMBER(fsmount),
    NUMBER(fspick), NUMBER(mount_setattr), NUMBER(open_by_handle_at), NUMBER(clone), NUMBER(ioctl), NUMBER(sendmsg),
    NUMBER(sendmmsg), NUMBER(setxattr), NUMBER(lsetxattr), NUMBER(removexattr), NUMBER(lremovexattr),
    NUMBER(rt_sigqueueinfo), NUMBER(rt_tgsigqueueinfo), NUMBER(pidfd_send_signal), NUMBER(openat), NUMBER(openat2),
    NUMBER(statx), NUMBER(newfstatat), NUMBER(faccessat), NUMBER(faccessat2), NUMBER(readlinkat), NUMBER(mkdirat),
    NUMBER(unlinkat), NUMBER(renameat), NUMBER(renameat2), NUMBER(linkat), NUMBER(symlinkat), NUMBER(fchmodat),
    NUMBER(fchownat), NUMBER(truncate), NUMBER(mknodat), NUMBER(utimensat), NUMBER(execve), NUMBER(execveat),
    NUMBER(connect), NUMBER(sendto), NUMBER(ptrace), NUMBER(process_vm_readv), NUMBER(process_vm_writev),
    NUMBER(kill), NUMBER(tkill), NUMBER(tgkill),
    NUMBER(fcntl), NUMBER(socket), NUMBER(setrlimit), NUMBER(prlimit64), NUMBER(sched_setparam),
    NUMBER(sched_setscheduler), NUMBER(sched_setaffinity), NUMBER(sched_setattr), NUMBER(setpriority),
    NUMBER(ioprio_set), NUMBER(get_robust_list), NUMBER(migrate_pages), NUMBER(move_pages), NUMBER(perf_event_open),
    NUMBER(keyctl), NUMBER(add_key), NUMBER(request_key), NUMBER(fanotify_init), NUMBER(acct), NUMBER(userfaultfd),
    NUMBER(statfs), NUMBER(getxattr), NUMBER(lgetxattr), NUMBER(listxattr), NUMBER(llistxattr), NUMBER(chdir),
    NUMBER(inotify_add_watch), NUMBER(name_to_handle_at), NUMBER(fchmod), NUMBER(fchown), NUMBER(fsetxattr),
    NUMBER(fremovexattr), NUMBER(bind), NUMBER(process_mrelease), NUMBER(shmget), NUMBER(semget), NUMBER(msgget),
    NUMBER(shmat), NUMBER(shmctl), NUMBER(semop), NUMBER(semtimedop), NUMBER(semctl), NUMBER(msgsnd), NUMBER(msgrcv),
    NUMBER(msgctl), NUMBER(mq_open), NUMBER(mq_unlink), NUMBER(prctl), NUMBER(setuid), NUMBER(setgid),
    NUMBER(setreuid), NUMBER(setregid), NUMBER(setgroups), NUMBER(setresuid), NUMBER(setresgid), NUMBER(setfsuid),
    NUMBER(setfsgid), NUMBER(capset),
#ifdef __NR_open
    NUMBER(open), NUMBER(creat), NUMBER(stat), NUMBER(lstat), NUMBER(access), NUMBER(readlink), NUMBER(mkdir),
    NUMBER(unlink), NUMBER(rmdir), NUMBER(rename), NUMBER(link), NUMBER(symlink), NUMBER(chmod), NUMBER(chown),
    NUMBER(lchown), NUMBER(mknod), NUMBER(utime), NUMBER(utimes), NUMBER(futimesat),
#endif
#ifdef __NR_fchmodat2
    NUMBER(fchmodat2),
#endif
#ifdef __NR_open_tree_attr
    NUMBER(open_tree_attr),
#endif
#ifdef __NR_setxattrat
    NUMBER(setxattrat), NUMBER(removexattrat),
#endif
#ifdef __NR_file_setattr
    NUMBER(file_setattr),
#endif
#ifdef __NR_getxattrat
    NUMBER(getxattrat), NUMBER(listxattrat),
#endif
};
#undef NUMBER
// clang-format on

// Calls newer than the C library headers the project is built with.
const char* const k_newer_than_headers[] = {"fchmodat2",    "open_tree_attr", "setxattrat", "removexattrat",
                                            "file_setattr", "getxattrat",     "listxattrat"};

TEST(CallTable, NativeNumbersAreTheCLibrarys) {
    for (const auto& [name, number] : k_libc_numbers) EXPECT_EQ(native_number_of(name), number) << name;
    for (size_t i = 0; i < k_call_count; ++i) {
        const CallRow& row = k_calls[i];
        if (call_number(row, k_native_arch) == k_absent) continue;
        bool known = false;
        for (const auto& entry : k_libc_numbers) known = known || strcmp(entry.first, row.name) == 0;
        for (const char* name : k_newer_than_headers) known = known || strcmp(name, row.name) == 0;
        EXPECT_TRUE(known) << row.name << " has no check against the C library";
    }
    EXPECT_EQ(native_number_of("no_such_call"), k_absent);
}

TEST(CallTable, NumbersFindTheirRows) {
    for (Arch arch : {Arch::x86_64, Arch::aarch64}) {
        for (size_t i = 0; i < k_call_count; ++i) {
            int nr = call_number(k_calls[i], arch);
            EXPECT_EQ(nr == k_absent || find_call(arch, nr) == &k_calls[i], true) << k_calls[i].name;
        }
        for (long nr : {-1L, 0L, k_nr_limit + 0L, 100000L}) EXPECT_EQ(find_call(arch, nr), nullptr) << nr;
    }
}

}  // namespace
