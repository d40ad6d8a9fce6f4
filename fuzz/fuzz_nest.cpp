// Requests a tree sends to add a policy for a sandbox inside it.
//
// Input: blobs separated by 0xff bytes, each the text of one request, sent
// in turn for keepers that alternate between this process's parent (an
// ancestor, whose policy must then judge this process) and this process
// itself (no ancestor of it). Whatever the text, a request is accepted
// only as a blob that decodes, at most one per keeper and k_nest_max in
// all; an accepted one is found for this process exactly when its keeper
// is an ancestor, and a refused one changes nothing.
#include <errno.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "supervisor/nesting.h"

namespace {

Attachments g_attachments;

}  // namespace

void require(bool holds, const char* what) {
    if (!holds) fuzz_fail("%s", what);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // The walk ends at the parent: only it can be found as a keeper.
    const SandboxTree tree = {getpid(), -1, getppid()};
    bool parent_attached = false;
    size_t start = 0;
    for (int turn = 0; start <= input.size(); ++turn) {
        size_t end = input.find('\xff', start);
        if (end == std::string::npos) end = input.size();
        const std::string text = input.substr(start, end - start);
        start = end + 1;
        const pid_t keeper = turn % 2 == 0 ? getppid() : getpid();
        const size_t before = g_attachments.count;
        const int error = attach_blob(&g_attachments, keeper, text.c_str(), text.size());
        require(error == 0 || error == EINVAL || error == EBUSY || error == ENOSPC || error == ENOMEM,
                "an error no request is answered with");
        require(g_attachments.count == before + (error == 0 ? 1 : 0), "a refused request changed the table");
        require(g_attachments.count <= k_nest_max, "more attachments than the table holds");
        require(error != EBUSY || keeper != getppid() || parent_attached, "busy without an attachment");
        if (error == 0 && keeper == getppid()) parent_attached = true;
        if (error == EINVAL) {
            Policy policy = {};
            const bool decodes = !text.empty() && text.size() <= k_nest_blob_max &&
                                 text.find('\0') == std::string::npos &&
                                 check_blob_text(text.c_str()).fault == BlobFault::none &&
                                 decode_policy(text.c_str(), &policy) == PolicyError::none;
            fuzz_free_policy(&policy);
            require(!decodes, "a blob that decodes was refused");
        }
        Scopes scopes;
        require(find_scopes(&g_attachments, getpid(), tree, &scopes), "the chain of parents was not read");
        require(scopes.count == (parent_attached ? 1u : 0u), "the parent's policy judges this process, and only it");
    }
    release_attachments(&g_attachments);
    require(g_attachments.count == 0, "attachments left after release");
    return 0;
}
