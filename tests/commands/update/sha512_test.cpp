#include "commands/update/sha512.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string digestOf(const std::string& message) {
    Sha512 hash;
    EXPECT_TRUE(hash.ready()) << hash.status();
    Sha512Digest digest{};
    EXPECT_TRUE(hash.add(message.data(), message.size()));
    EXPECT_TRUE(hash.finish(digest));
    return sha512Hex(digest);
}

} // namespace

// The examples FIPS 180-4's SHA-512 is published with.
TEST(Sha512, GivesThePublishedDigests) {
    const struct {
        const char* name;
        std::string message;
        const char* hex;
    } cases[] = {
        {"empty", "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417"
         "a81"
         "a538327af927da3e"},
        {"one block", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce"
         "80e"
         "2a9ac94fa54ca49f"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd"
         "703"
         "54ec631238ca3445"},
        {"896 bits: the length spills into a second block",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqr"
         "stu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd2"
         "654"
         "5e96e55b874be909"},
        {"a million times a", std::string(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49a"
         "a2e"
         "4eadb217ad8cc09b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(digestOf(c.message), c.hex);
    }
}

// The copy feeds the digest in pieces of any size: every cut of a message
// three blocks long into three pieces gives the digest of the whole.
TEST(Sha512, PiecesGiveTheDigestOfTheWhole) {
    std::string message;
    for (int i = 0; i < 300; ++i)
        message += static_cast<char>(i * 37 + 11);
    const std::string whole = digestOf(message);
    for (std::size_t first = 0; first <= message.size(); first += 7) {
        for (std::size_t second = first; second <= message.size(); second += 13) {
            Sha512 hash;
            Sha512Digest digest{};
            ASSERT_TRUE(hash.add(message.data(), first));
            ASSERT_TRUE(hash.add(message.data() + first, second - first));
            ASSERT_TRUE(hash.add(message.data() + second, message.size() - second));
            ASSERT_TRUE(hash.finish(digest));
            ASSERT_EQ(sha512Hex(digest), whole) << "cut at " << first << " and " << second;
        }
    }
}
