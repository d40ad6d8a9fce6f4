#include "rules/ipc_rules.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <string>

#include "path/interpreter.h"

namespace {

TEST(IpcRules, NamesOfObjectPaths) {
    struct Case {
        const char* path;
        bool named;
        NamedKind kind;
        const char* name;
    };
    const Case cases[] = {
        {"/dev/shm/sem.mp-1", true, NamedKind::shared_memory, "sem.mp-1"},
        {"/dev/shm/dir/file", true, NamedKind::shared_memory, "dir"},
        {"/dev/mqueue/queue", true, NamedKind::message_queue, "queue"},
        {"/dev/shm", false, NamedKind::shared_memory, ""},
        {"/dev/shm/", false, NamedKind::shared_memory, ""},
        {"/dev/shmx/a", false, NamedKind::shared_memory, ""},
        {"/tmp/dev/shm/a", false, NamedKind::shared_memory, ""},
    };
    for (const Case& c : cases) {
        NamedKind kind = NamedKind::message_queue;
        char name[256];
        ASSERT_EQ(name_of_ipc_path(c.path, &kind, name, sizeof(name)), c.named) << c.path;
        if (!c.named) continue;
        EXPECT_EQ(kind, c.kind) << c.path;
        EXPECT_STREQ(name, c.name);
    }
    char tiny[4];
    NamedKind kind;
    EXPECT_FALSE(name_of_ipc_path("/dev/shm/longer", &kind, tiny, sizeof(tiny)));
}

TEST(IpcRules, OnlyTheTreesOwnObjects) {
    struct Case {
        Access access;
        bool made;
        bool exists;
        ObjectRuling ruling;
    };
    const Case cases[] = {
        {ACCESS_READ, true, true, ObjectRuling::allow},
        {ACCESS_DELETE, true, true, ObjectRuling::allow},
        {ACCESS_STAT, false, true, ObjectRuling::refuse},
        {ACCESS_READ, false, true, ObjectRuling::refuse},
        {ACCESS_WRITE, false, true, ObjectRuling::refuse},
        {ACCESS_DELETE, false, true, ObjectRuling::refuse},
        // Made by this call (a create, or a rename onto the name).
        {ACCESS_WRITE, false, false, ObjectRuling::allow_and_record},
        {ACCESS_DELETE, false, false, ObjectRuling::allow_and_record},
        // Looked for in vain: the kernel answers ENOENT.
        {ACCESS_STAT, false, false, ObjectRuling::allow},
        {ACCESS_READ, false, false, ObjectRuling::allow},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judge_named_object(c.access, c.made, c.exists), c.ruling)
            << c.access << " made " << c.made << " exists " << c.exists;
    }
}

// The same numbers mean other commands to the other kinds.
TEST(IpcRules, ReportCommandsOfEachKind) {
    struct Case {
        IpcKind kind;
        int command;
        bool reports;
    };
    const Case cases[] = {
        {IpcKind::shm, IPC_STAT, true},     {IpcKind::shm, IPC_STAT | 0x100, true},  {IpcKind::shm, SHM_INFO, true},
        {IpcKind::shm, SHM_STAT_ANY, true}, {IpcKind::shm, SHM_LOCK, false},         {IpcKind::shm, SHM_UNLOCK, false},
        {IpcKind::shm, IPC_RMID, false},    {IpcKind::shm, IPC_SET, false},          {IpcKind::sem, SEM_STAT, true},
        {IpcKind::sem, IPC_INFO, true},     {IpcKind::sem, GETVAL, false},           {IpcKind::sem, GETALL, false},
        {IpcKind::sem, SETVAL, false},      {IpcKind::sem, GETPID, false},           {IpcKind::msg, MSG_STAT, true},
        {IpcKind::msg, MSG_INFO, true},     {IpcKind::msg, IPC_RMID | 0x100, false}, {IpcKind::msg, IPC_SET, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_ipc_report_command(c.kind, c.command), c.reports) << static_cast<int>(c.kind) << " " << c.command;
    }
}

TEST(Interpreter, ScriptLines) {
    struct Case {
        std::string head;
        const char* interpreter;  // null: none
    };
    const Case cases[] = {
        {"#!/bin/sh\necho\n", "/bin/sh"},
        {"#! /usr/bin/env python3\n", "/usr/bin/env"},
        {"#!\t/bin/bash -e\n", "/bin/bash"},
        {"#!relative/tool", "relative/tool"},
        {"#!\n/bin/sh", nullptr},
        {"#!   \n", nullptr},
        {"# /bin/sh\n", nullptr},
        {"\x7f"
         "ELF",
         nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        char out[64];
        const bool named = parse_script_interpreter(c.head.data(), c.head.size(), out, sizeof(out));
        EXPECT_EQ(named, c.interpreter != nullptr) << c.head;
        if (named && c.interpreter != nullptr) {
            EXPECT_STREQ(out, c.interpreter);
        }
    }
    char small[4];
    EXPECT_FALSE(parse_script_interpreter("#!/bin/sh", 9, small, sizeof(small)));
}

}  // namespace
