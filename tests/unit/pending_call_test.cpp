// Copying out of a tracee, with this process standing for the tracee.
#include "supervisor/pending_call.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "path/normalize.h"
#include "supervisor/path_check.h"

namespace {

uint64_t address_of(const void* p) {
    return reinterpret_cast<uint64_t>(p);
}

// Two pages, the second one unmapped unless asked for.
class Pages {
public:
    explicit Pages(bool second_mapped) {
        base_ =
            static_cast<char*>(mmap(nullptr, 2 * k_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (!second_mapped) munmap(base_ + k_page, k_page);
        second_mapped_ = second_mapped;
    }
    ~Pages() { munmap(base_, second_mapped_ ? 2 * k_page : k_page); }
    // Places text so that it ends exactly at the end of the first page, or
    // starts offset bytes before its end.
    char* place_ending_at_boundary(const std::string& text) {
        char* at = base_ + k_page - text.size() - 1;
        memcpy(at, text.c_str(), text.size() + 1);
        return at;
    }
    char* place_across(const std::string& text, size_t before_boundary) {
        char* at = base_ + k_page - before_boundary;
        memcpy(at, text.c_str(), text.size() + 1);
        return at;
    }
    static constexpr size_t k_page = 4096;

private:
    char* base_;
    bool second_mapped_;
};

TEST(ReadTraceeMem, CopiesOrFails) {
    const char data[] = "0123456789";
    char out[11] = {};
    EXPECT_TRUE(read_tracee_mem(getpid(), address_of(data), out, 10));
    EXPECT_STREQ(out, "0123456789");
    EXPECT_FALSE(read_tracee_mem(getpid(), 0, out, 10));

    Pages pages(false);
    char* tail = pages.place_ending_at_boundary("abc");
    EXPECT_TRUE(read_tracee_mem(getpid(), address_of(tail), out, 4));
    // Short: the range runs into the unmapped page.
    EXPECT_FALSE(read_tracee_mem(getpid(), address_of(tail), out, 8));
}

TEST(ReadTraceeMem, ThroughTheMemoryFile) {
    const char data[] = "through /proc";
    char out[sizeof(data)] = {};
    EXPECT_EQ(read_proc_mem(getpid(), address_of(data), out, sizeof(data)), static_cast<ssize_t>(sizeof(data)));
    EXPECT_STREQ(out, data);
    EXPECT_LT(read_proc_mem(0x3ffffff0, address_of(data), out, sizeof(data)), 0);
    Pages pages(false);
    char* tail = pages.place_ending_at_boundary("abc");
    EXPECT_EQ(read_proc_mem(getpid(), address_of(tail), out, 8), 4);
}

TEST(CopyTraceePath, Chunks) {
    char out[k_path_size];
    // Crossing a page boundary: read in two chunks.
    Pages both(true);
    std::string across = "/tmp/" + std::string(100, 'a');
    EXPECT_TRUE(copy_tracee_path(getpid(), address_of(both.place_across(across, 10)), out));
    EXPECT_EQ(std::string(out), across);

    // Ending right before an unmapped page: that page is never touched.
    Pages one(false);
    EXPECT_TRUE(copy_tracee_path(getpid(), address_of(one.place_ending_at_boundary("/etc/passwd")), out));
    EXPECT_STREQ(out, "/etc/passwd");
    // Running into it without a NUL: unreadable.
    char* open_end = one.place_ending_at_boundary("/etc/x");
    open_end[6] = 'y';
    EXPECT_FALSE(copy_tracee_path(getpid(), address_of(open_end), out));

    EXPECT_FALSE(copy_tracee_path(getpid(), 0, out));
}

TEST(CopyTraceePath, LengthBound) {
    char out[k_path_size];
    std::string exact = "/" + std::string(4094, 'x');
    ASSERT_EQ(exact.size(), k_path_max);
    EXPECT_TRUE(copy_tracee_path(getpid(), address_of(exact.c_str()), out));
    EXPECT_EQ(std::string(out), exact);

    std::string longer = exact + "yyyy";
    EXPECT_TRUE(copy_tracee_path(getpid(), address_of(longer.c_str()), out));
    EXPECT_EQ(std::string(out), exact);

    EXPECT_TRUE(copy_tracee_path(getpid(), address_of(""), out));
    EXPECT_STREQ(out, "");
}

// No listener: anything that got as far as the pending check would be denied.
TEST(CheckTraceePath, NullPaths) {
    const PendingCall call = {nullptr, -1, 0, getpid(), {getpid(), -1, 0}, nullptr, nullptr};
    const PathOperand plain = {-100, 0, ACCESS_STAT, LastLink::followed, false, false};
    EXPECT_FALSE(check_tracee_path(call, plain));
    // With AT_EMPTY_PATH a null path is the descriptor itself, as on newer
    // kernels: looking at it passes, changing it is judged on the file.
    const PathOperand look = {-100, 0, ACCESS_STAT, LastLink::followed, true, false};
    EXPECT_TRUE(check_tracee_path(call, look));
    const PathOperand change = {-100, 0, ACCESS_WRITE, LastLink::followed, true, false};
    EXPECT_FALSE(check_tracee_path(call, change));
}

}  // namespace
