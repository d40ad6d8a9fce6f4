#include "policy/policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/blob.h"

namespace {

Policy decode(const std::string& blob) {
    Policy policy;
    EXPECT_EQ(decode_policy(blob.c_str(), &policy), PolicyError::none);
    return policy;
}

std::vector<std::string> entries(const StringList& list) {
    std::vector<std::string> out;
    for (uint64_t i = 0; i < list.count; ++i) out.emplace_back(list.items[i]);
    return out;
}

std::vector<int> ports(const PortList& list) {
    return std::vector<int>(list.ports, list.ports + list.count);
}

void expect_defaults_except_hidden_root(const Policy& p) {
    EXPECT_STREQ(p.deny_single, "");
    EXPECT_EQ(p.loopback_default_allow, 0);
    for (const StringList* list : {&p.visible_tree, &p.stat_allow, &p.deny_tree, &p.deny_exact, &p.write_allow,
                                   &p.write_patterns, &p.write_deny, &p.delete_deny_exact, &p.git_write_allow}) {
        EXPECT_EQ(list->count, 0u);
        EXPECT_EQ(list->capacity, 0u);
        EXPECT_EQ(list->items, nullptr);
    }
    EXPECT_EQ(p.loopback_allow_ports.count, 0u);
    EXPECT_EQ(p.loopback_deny_ports.count, 0u);
    EXPECT_EQ(p.write_regexes, nullptr);
}

TEST(DecodePolicy, WorkedExample) {
    Policy p = decode("UgAvaG9tZQBXAC90bXAATAA4MDgwAA==");
    EXPECT_STREQ(p.hidden_root, "/home");
    EXPECT_EQ(entries(p.write_allow), std::vector<std::string>{"/tmp"});
    EXPECT_EQ(ports(p.loopback_allow_ports), std::vector<int>{8080});
    EXPECT_EQ(make_blob({{"R", "/home"}, {"W", "/tmp"}, {"L", "8080"}}), "UgAvaG9tZQBXAC90bXAATAA4MDgwAA==");
}

TEST(DecodePolicy, EmptyOrAlphabetFreeBlobGivesDefaults) {
    for (const char* blob : {"", "====", " \n\t-_!?", "\x80\xff"}) {
        SCOPED_TRACE(blob);
        Policy p = decode(blob);
        EXPECT_STREQ(p.hidden_root, "/");
        expect_defaults_except_hidden_root(p);
    }
}

TEST(DecodePolicy, HiddenRootForms) {
    struct Case {
        const char* blob;
        const char* hidden_root;
    };
    const Case cases[] = {
        {"UgAvaG9tZQA=", "/home"},
        {"UgAv aG9t\nZQA=", "/home"},    // white space anywhere
        {"UgAvaG9tZQ", "/home"},         // unpadded, last value without its NUL
        {"UgA", ""},                     // R NUL and nothing else: empty value
        {"=U=g=A=v=aG9tZQA=", "/home"},  // padding signs are skipped too
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.blob);
        Policy p = decode(c.blob);
        EXPECT_STREQ(p.hidden_root, c.hidden_root);
        expect_defaults_except_hidden_root(p);
    }
}

TEST(DecodePolicy, PaddingDoesNotEndABlock) {
    EXPECT_EQ(decode("SAAxAA==").loopback_default_allow, 1);
    // Two padded blocks in a row are one stream: the second half is shifted
    // and does not decode as a second H record.
    Policy twice = decode("SAAxAA==SAAxAA==");
    EXPECT_EQ(twice.loopback_default_allow, 1);
    unsigned char out[32];
    size_t n = decode_base64("SAAxAA==SAAxAA==", out);
    EXPECT_EQ(n, 9u);
    EXPECT_NE(std::string(reinterpret_cast<char*>(out) + 4, 4), std::string("H\0"
                                                                            "1\0",
                                                                            4));
}

// What an encoder writes passes the check before decoding: the alphabet,
// line breaks, and "=" at the end. What none writes is refused and placed.
TEST(CheckBlobText, WhatEncodersWrite) {
    struct Case {
        const char* text;
        BlobFault fault;
        size_t offset;
    };
    const Case cases[] = {
        {"", BlobFault::none, 0},
        {"UgAvaG9tZQBXAC90bXAATAA4MDgwAA==", BlobFault::none, 0},
        {"UgAvaG9t\nZQA=\r\n", BlobFault::none, 0},
        {"UgAv aG9t", BlobFault::foreign_byte, 4},
        {"visible /usr", BlobFault::foreign_byte, 7},
        {"UgAvaG9tZQ", BlobFault::none, 0},
        {"UgA", BlobFault::none, 0},
        {"SAAxAA==SAAxAA==", BlobFault::early_padding, 6},
        {"SAAxAA=x", BlobFault::early_padding, 6},
        {"U", BlobFault::lone_digit, 0},
        {"UgAvZ", BlobFault::lone_digit, 0},
        {"UgA-vaG9", BlobFault::foreign_byte, 3},
        {"UgA_", BlobFault::foreign_byte, 3},
        {"--keep-fd", BlobFault::foreign_byte, 0},
        {"UgA\xc3\xa9", BlobFault::foreign_byte, 3},
    };
    for (const Case& c : cases) {
        const BlobCheck check = check_blob_text(c.text);
        EXPECT_EQ(check.fault, c.fault) << c.text;
        if (c.fault == BlobFault::foreign_byte || c.fault == BlobFault::early_padding) {
            EXPECT_EQ(check.offset, c.offset) << c.text;
        }
    }
}

TEST(DecodePolicy, LeftoverBitsAreDropped) {
    unsigned char out[8];
    EXPECT_EQ(decode_base64("QQ", out), 1u);
    EXPECT_EQ(out[0], 'A');
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(decode_base64("Q", out), 0u);
    EXPECT_EQ(decode_base64("QUJD", out), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "ABC");
}

TEST(DecodePolicy, EveryListKeyAppendsInOrder) {
    struct Key {
        char letter;
        StringList Policy::*field;
    };
    const Key keys[] = {
        // clang-format off
        {'A', &Policy::delete_deny_exact}, {'D', &Policy::deny_tree}, {'E', &Policy::visible_tree},
        {'F', &Policy::deny_exact},        {'G', &Policy::git_write_allow}, {'M', &Policy::stat_allow},
        {'P', &Policy::write_patterns},    {'W', &Policy::write_allow}, {'X', &Policy::write_deny},
        // clang-format on
    };
    for (const Key& key : keys) {
        SCOPED_TRACE(key.letter);
        std::string k(1, key.letter);
        Policy p = decode(make_blob({{k, "/a"}, {"W", "/w"}, {k, "/b"}, {k, "/a"}, {k, ""}}));
        std::vector<std::string> expected = {"/a", "/b", "/a", ""};
        if (key.letter == 'W') expected = {"/a", "/w", "/b", "/a", ""};
        EXPECT_EQ(entries(p.*key.field), expected);
    }
}

TEST(DecodePolicy, LastOneWinsForSingleValues) {
    Policy p = decode(make_blob({{"R", "/one"}, {"S", "/x"}, {"R", "/two"}, {"S", ""}, {"H", "1"}, {"H", "0"}}));
    EXPECT_STREQ(p.hidden_root, "/two");
    EXPECT_STREQ(p.deny_single, "");
    EXPECT_EQ(p.loopback_default_allow, 0);
    EXPECT_STREQ(decode(make_blob({{"S", "/home/u/.netrc"}})).deny_single, "/home/u/.netrc");
}

TEST(DecodePolicy, FlagValues) {
    struct Case {
        const char* value;
        int expected;
    };
    const Case cases[] = {{"1", 1}, {"01", 0}, {"1 ", 0}, {"true", 0}, {"", 0}, {"0", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(decode(make_blob({{"H", c.value}})).loopback_default_allow, c.expected);
    }
}

TEST(DecodePolicy, PortValues) {
    struct Case {
        const char* value;
        std::vector<int> expected;
    };
    const Case cases[] = {
        // clang-format off
        {"8080", {8080}}, {"0", {}},       {"65536", {}},     {"65535", {65535}}, {"1", {1}},
        {"-1", {}},       {"", {}},        {"x80", {}},       {"80abc", {80}},    {" 22", {22}},
        {"+443", {443}},  {"0x50", {}},    {"4294967297", {}}, {"-4294967295", {}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Policy p = decode(make_blob({{"L", c.value}, {"N", c.value}}));
        EXPECT_EQ(ports(p.loopback_allow_ports), c.expected);
        EXPECT_EQ(ports(p.loopback_deny_ports), c.expected);
    }
    Policy p = decode(make_blob({{"L", "22"}, {"L", "22"}, {"N", "80"}, {"L", "443"}}));
    EXPECT_EQ(ports(p.loopback_allow_ports), (std::vector<int>{22, 22, 443}));
    EXPECT_EQ(ports(p.loopback_deny_ports), std::vector<int>{80});
}

TEST(DecodePolicy, KeysThatAreNotKeysAreSkipped) {
    Policy p = decode(make_blob({{"RR", "/x"}, {"r", "/y"}, {"", "/z"}, {"Z", "/q"}, {"E", "/usr"}}));
    EXPECT_STREQ(p.hidden_root, "/");
    EXPECT_EQ(entries(p.visible_tree), std::vector<std::string>{"/usr"});
}

TEST(DecodePolicy, RecordWalkEnds) {
    // A last key without its NUL is ignored.
    EXPECT_EQ(decode(base64_encode(std::string("E\0/usr\0W", 8))).write_allow.count, 0u);
    // A key with its NUL but nothing after it has an empty value.
    EXPECT_EQ(entries(decode(base64_encode(std::string("E\0/usr\0W\0", 9))).write_allow), std::vector<std::string>{""});
    // A last value without its NUL runs to the end of the data.
    EXPECT_EQ(entries(decode(base64_encode(std::string("E\0/usr\0W\0/tmp", 13))).write_allow),
              std::vector<std::string>{"/tmp"});
}

TEST(DecodePolicy, ListCapacityGrowsFrom16ByDoubling) {
    Records records;
    for (int i = 0; i < 16; ++i) records.push_back({"E", "/d" + std::to_string(i)});
    Policy p16 = decode(make_blob(records));
    EXPECT_EQ(p16.visible_tree.count, 16u);
    EXPECT_EQ(p16.visible_tree.capacity, 16u);
    records.push_back({"E", "/d16"});
    Policy p17 = decode(make_blob(records));
    EXPECT_EQ(p17.visible_tree.count, 17u);
    EXPECT_EQ(p17.visible_tree.capacity, 32u);
    EXPECT_STREQ(p17.visible_tree.items[16], "/d16");
    for (int i = 17; i < 33; ++i) records.push_back({"E", "/d" + std::to_string(i)});
    EXPECT_EQ(decode(make_blob(records)).visible_tree.capacity, 64u);
}

TEST(DecodePolicy, WritePatternsAreCompiledExtendedWithoutSubmatches) {
    Policy p = decode(make_blob({{"P", "\\.log$"}, {"P", "^/tmp/(a|b)+$"}}));
    ASSERT_NE(p.write_regexes, nullptr);
    EXPECT_EQ(regexec(&p.write_regexes[0], "/home/u/notes.log", 0, nullptr, 0), 0);
    EXPECT_NE(regexec(&p.write_regexes[0], "/home/u/notes.txt", 0, nullptr, 0), 0);
    EXPECT_EQ(regexec(&p.write_regexes[1], "/tmp/abba", 0, nullptr, 0), 0);
    EXPECT_NE(regexec(&p.write_regexes[1], "/tmp/abc", 0, nullptr, 0), 0);
    EXPECT_EQ(p.write_regexes[1].re_nsub, 1u);
}

TEST(DecodePolicy, PatternThatDoesNotCompileIsReported) {
    for (const Records& records : {Records{{"P", "("}}, Records{{"P", "ok$"}, {"P", "a{1"}, {"P", "fine"}}}) {
        Policy policy;
        EXPECT_EQ(decode_policy(make_blob(records).c_str(), &policy), PolicyError::bad_pattern);
    }
}

TEST(StrListPush, CopiesTheValue) {
    StringList list{};
    char value[] = "/tmp";
    ASSERT_TRUE(str_list_push(&list, value));
    value[1] = 'x';
    EXPECT_STREQ(list.items[0], "/tmp");
    EXPECT_EQ(list.capacity, 16u);
}

}  // namespace
