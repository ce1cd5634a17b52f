#include "lowmem.hpp"
#include "orga.hpp"
#include "settings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

using namespace cellcoef;

namespace {

// Store memory as the host and the kernel see it: the whole piece below 2 GiB,
// so every address fits 31 bits, and mapped by the store.
void expect_store_memory(const float* p, std::size_t floats)
{
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    EXPECT_NE(a, 0u);
    EXPECT_LE(a + 4 * floats, std::uintptr_t{1} << 31) << p;
    EXPECT_TRUE(lowmem_holds(p, 4 * floats)) << p;
}

bool all_zero(const float* p, std::size_t floats)
{
    for (std::size_t i = 0; i < floats; ++i)
        if (p[i] != 0.0f) return false;
    return true;
}

class Store : public testing::Test {
protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }
    static void reset_settings()
    {
        rel_tol = 1e-6f;
        debug_mask = 0;
    }

    float* insert(std::vector<float> v, int ntol = -1, int counted = 1)
    {
        const int n = static_cast<int>(v.size());
        float* p = orga_insert(o.get(), v.data(), n, ntol < 0 ? n : ntol, counted);
        if (p != nullptr) expect_store_memory(p, v.size());
        return p;
    }

    std::unique_ptr<OrgaHeader> o = std::make_unique<OrgaHeader>();  // zero-filled
};

// --- header preparation ---------------------------------------------------

// A header area of `bytes` bytes filled with a pattern, with one byte of guard.
struct Area {
    explicit Area(std::size_t n) : bytes(n), words((n + 4) / 4 + 1, 0xabababab) {}
    void* data() { return words.data(); }
    unsigned char byte(std::size_t i) const { return reinterpret_cast<const unsigned char*>(words.data())[i]; }
    OrgaHeader* header() { return static_cast<OrgaHeader*>(data()); }
    std::size_t bytes;
    std::vector<std::uint32_t> words;
};

TEST(OrgaPrepare, FreshAreaBySize)
{
    struct Case { const char* what; std::size_t bytes, extent; OrgaPrepare expected; };
    const Case cases[] = {
        {"8044 bytes: no room beyond the header", 8044, 8044, OrgaPrepare::size_check_failed},
        {"8045 bytes", 8045, 8045, OrgaPrepare::blank},
        {"first axis empty", 9000, 0, OrgaPrepare::size_check_failed},
        {"extent claims more than the memory holds", 8044, 9000, OrgaPrepare::too_small},
        {"too small to hold the magic word", 2, 0, OrgaPrepare::size_check_failed},
    };
    for (const Case& c : cases) {
        Area area(c.bytes);
        EXPECT_EQ(orga_prepare(area.data(), c.bytes, c.extent, nullptr), c.expected) << c.what;
        EXPECT_EQ(area.byte(0), 0xab) << c.what << ": the area must stay untouched";
    }
}

TEST(OrgaPrepare, InitWritesExactlyTheHeader)
{
    Area area(8045);
    orga_init(area.header());
    EXPECT_EQ(area.header()->magic, ORGA_MAGIC);
    for (std::size_t i = 4; i < sizeof(OrgaHeader); ++i) ASSERT_EQ(area.byte(i), 0) << i;
    EXPECT_EQ(area.byte(sizeof(OrgaHeader)), 0xab) << "written past the header";
}

// A header is taken only as the store last left it: any other byte, read by
// the store or not, may be a copy's, a forger's or another process's.
TEST(OrgaPrepare, HeaderTakenOnlyAsTheStoreLeftIt)
{
    struct Case {
        const char* what;
        void (*mutate)(OrgaHeader*);
        bool recorded;
        OrgaPrepare expected;
    };
    const Case cases[] = {
        {"as the store left it", [](OrgaHeader*) {}, true, OrgaPrepare::ready},
        {"never left here by the store", [](OrgaHeader*) {}, false, OrgaPrepare::invalid},
        {"counter reset", [](OrgaHeader* h) { h->hits = 0; }, true, OrgaPrepare::invalid},
        {"unused slot written", [](OrgaHeader* h) { h->ring[7] = 12345; }, true, OrgaPrepare::invalid},
        {"reserved word written", [](OrgaHeader* h) { h->reserved = 1; }, true, OrgaPrepare::invalid},
        {"last length changed", [](OrgaHeader* h) { h->ring_len[ORGA_RING - 1] = 3; }, true,
         OrgaPrepare::invalid},
        {"block moved by a float", [](OrgaHeader* h) { h->block += 4; }, true, OrgaPrepare::invalid},
    };
    for (const Case& c : cases) {
        Area area(8045);
        OrgaHeader* h = area.header();
        orga_init(h);
        float v[2] = {1.0f, 2.0f};
        ASSERT_NE(orga_insert(h, v, 2, 2, 1), nullptr);
        ASSERT_NE(orga_insert(h, v, 2, 2, 1), nullptr);
        const OrgaHeader last = *h;
        c.mutate(h);
        EXPECT_EQ(orga_prepare(h, area.bytes, area.bytes, c.recorded ? &last : nullptr), c.expected)
            << c.what;
        EXPECT_EQ(h->inserts, 1) << c.what << ": a header in use is never reset";
    }
}

// A call that fails part way puts the header back; what the current block
// handed out in the meantime is zero again, since it is handed out again.
TEST(OrgaRestore, HeaderBackAndBlockTailZeroed)
{
    for (bool block_changes : {false, true}) {
        auto o = std::make_unique<OrgaHeader>();
        float v[3] = {1, 2, 3};
        ASSERT_NE(orga_insert(o.get(), v, 3, 3, 1), nullptr);
        const OrgaHeader last = *o;
        float* tail = orga_pointer(last.block) + last.block_used;

        float w[3] = {4, 5, 6};
        ASSERT_EQ(orga_insert(o.get(), w, 3, 3, 1), tail);
        ASSERT_NE(orga_insert(o.get(), v, 3, 3, 1), nullptr);  // a hit
        if (block_changes) {
            ASSERT_NE(orga_alloc(o.get(), ORGA_BLOCK_FLOATS - o->block_used - 2, &o->direct_bytes),
                      nullptr);
            // Once another block is current, how far the old one got is not
            // in the header: its whole tail is zeroed.
            tail[ORGA_BLOCK_FLOATS - last.block_used - 1] = 7.0f;
            ASSERT_NE(orga_alloc(o.get(), 3, &o->direct_bytes), nullptr);
            ASSERT_NE(o->block, last.block);
        }

        orga_restore(o.get(), last);
        EXPECT_EQ(std::memcmp(o.get(), &last, sizeof(OrgaHeader)), 0) << block_changes;
        EXPECT_TRUE(all_zero(tail, ORGA_BLOCK_FLOATS - last.block_used)) << block_changes;
        EXPECT_EQ(orga_pointer(last.ring[0])[2], 3.0f) << "the vector kept before is kept";
        float* again = orga_alloc(o.get(), 3, &o->direct_bytes);
        EXPECT_EQ(again, tail) << block_changes;
    }
}

// --- orga_insert -------------------------------------------------------------

TEST_F(Store, EqualVectorFoldedWithItsCounters)
{
    float* first = insert({1, 2, 3, 4, 5, 6});
    float* second = insert({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(first, second);
    EXPECT_EQ(o->hits, 1);
    EXPECT_EQ(o->inserts, 1);
    EXPECT_EQ(o->nstored, 1);
    EXPECT_EQ(o->ring_bytes, 24);
    EXPECT_EQ(o->ring[0], orga_address(first));
    EXPECT_EQ(o->ring_len[0], 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(first[i], i + 1.0f);

    // Uncounted insertions still store and find, without touching the counters.
    float* other = insert({7, 8}, -1, 0);
    EXPECT_EQ(insert({7, 8}, -1, 0), other);
    EXPECT_EQ(o->hits, 1);
    EXPECT_EQ(o->inserts, 1);
    EXPECT_EQ(o->nstored, 2);
}

TEST_F(Store, Tolerance)
{
    const float one_ulp_above_1 = std::nextafter(1.0f, 2.0f);  // relative 1.2e-7
    struct Case { const char* what; float tol; int ntol; bool folded; };
    const Case cases[] = {
        {"default tolerance", 1e-6f, 4, true},
        {"settol(1e-8)", 1e-8f, 4, false},
        {"position at ntol must be exactly equal", 1e-6f, 2, false},
    };
    for (const Case& c : cases) {
        o = std::make_unique<OrgaHeader>();
        rel_tol = c.tol;
        float* a = insert({5, 6, 1, 7}, c.ntol);
        float* b = insert({5, 6, one_ulp_above_1, 7}, c.ntol);
        EXPECT_EQ(a == b, c.folded) << c.what;
        EXPECT_EQ(o->inserts, c.folded ? 1 : 2) << c.what;
    }
}

TEST_F(Store, TinyValuesFlushedInPlace)
{
    std::vector<float> v = {1e-38f, -5e-38f, 2e-37f, 0.5f};
    float* p = orga_insert(o.get(), v.data(), 4, 4, 1);
    ASSERT_NE(p, nullptr);
    const float expected[4] = {0.0f, 0.0f, 2e-37f, 0.5f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(v[i], expected[i]) << i;
        EXPECT_EQ(p[i], expected[i]) << i;
    }
    EXPECT_FALSE(std::signbit(v[1]));
}

// Unused slots have length 0 too, but hold no vector: an empty vector is
// stored like any other, never answered with address 0.
TEST_F(Store, EmptyVectorNeverMatchesAnUnusedSlot)
{
    float* p = insert({});
    EXPECT_EQ(o->inserts, 1);
    EXPECT_EQ(insert({}), p);
    EXPECT_EQ(o->hits, 1);
}

// The ring remembers the last 1000 vectors: the 1000th-oldest is still found.
TEST_F(Store, RingForgetsAfterThousandInsertions)
{
    for (int later : {999, 1000}) {
        o = std::make_unique<OrgaHeader>();
        float* old = insert({-1, 3});
        for (int i = 1; i <= later; ++i) insert({static_cast<float>(i), 3});
        float* again = insert({-1, 3});
        EXPECT_EQ(again == old, later == 999) << later << " insertions later";
        EXPECT_EQ(o->hits, later == 999 ? 1 : 0);
        EXPECT_EQ(o->nstored, later == 999 ? 1000 : 1002);
    }
}

// Two stored vectors both match the probe within the tolerance: the search
// takes the slot written next (the oldest once the ring is full) first, then
// newest to oldest.
TEST_F(Store, RingSearchOrder)
{
    const float near_1 = std::nextafter(1.0f, 2.0f);

    rel_tol = 1e-9f;
    float* older = insert({1});
    float* newer = insert({near_1});
    ASSERT_NE(older, newer);
    rel_tol = 1e-6f;
    EXPECT_EQ(insert({1}), newer) << "ring not full: newest first";

    o = std::make_unique<OrgaHeader>();
    rel_tol = 1e-9f;
    float* oldest = insert({1});
    for (int i = 1; i < 999; ++i) insert({static_cast<float>(i + 10)});
    float* newest = insert({near_1});
    ASSERT_EQ(o->nstored, 1000);
    rel_tol = 1e-6f;
    EXPECT_EQ(insert({near_1}), oldest) << "full ring: the oldest slot comes first";
    EXPECT_NE(oldest, newest);
}

// --- orga_alloc --------------------------------------------------------------

TEST_F(Store, SmallRequestsCarvedFromBlocks)
{
    float* a = orga_alloc(o.get(), 10, &o->direct_bytes);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(o->block, orga_address(a));
    EXPECT_EQ(o->blocks, 1);
    float* b = orga_alloc(o.get(), 5, &o->direct_bytes);
    EXPECT_EQ(b, a + 10);
    EXPECT_EQ(o->block_used, 15);
    EXPECT_EQ(o->direct_bytes, 60);
    EXPECT_EQ(o->ring_bytes, 0);
    EXPECT_TRUE(all_zero(a, ORGA_BLOCK_FLOATS));
    expect_store_memory(a, ORGA_BLOCK_FLOATS);
}

TEST_F(Store, RequestBySizeAndRoomLeft)
{
    struct Case {
        const char* what;
        int block_used;  // -1: no current block
        int n;
        bool from_current, new_block;
    };
    const Case cases[] = {
        {"4095 floats, no block", -1, 4095, false, true},
        {"4096 floats, no block", -1, 4096, false, false},
        {"5000 floats fit the block", 0, 5000, true, false},
        {"5000 floats fit exactly", 27768, 5000, true, false},
        {"5000 floats do not fit", 27769, 5000, false, false},
        {"10 floats with 8 left open a new block", 32760, 10, false, true},
    };
    for (const Case& c : cases) {
        o = std::make_unique<OrgaHeader>();
        float* block = nullptr;
        if (c.block_used >= 0) {
            block = orga_alloc(o.get(), 1, &o->direct_bytes);
            ASSERT_NE(block, nullptr);
            o->block_used = c.block_used;
        }
        const OrgaHeader before = *o;
        float* p = orga_alloc(o.get(), c.n, &o->direct_bytes);
        ASSERT_NE(p, nullptr) << c.what;
        expect_store_memory(p, c.n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (c.from_current ? 4 : 16), 0u) << c.what;
        EXPECT_TRUE(all_zero(p, c.n)) << c.what;
        EXPECT_EQ(o->direct_bytes, before.direct_bytes + 4 * c.n) << c.what;
        if (c.from_current) {
            EXPECT_EQ(p, block + c.block_used) << c.what;
            EXPECT_EQ(o->block_used, c.block_used + c.n) << c.what;
        } else if (c.new_block) {
            EXPECT_EQ(o->block, orga_address(p)) << c.what;
            EXPECT_EQ(o->block_used, c.n) << c.what;
            EXPECT_EQ(o->blocks, before.blocks + 1) << c.what;
        } else {
            EXPECT_EQ(o->large_allocs, before.large_allocs + 1) << c.what;
            EXPECT_EQ(o->block, before.block) << c.what << ": the current block stays";
            EXPECT_EQ(o->block_used, before.block_used) << c.what;
        }
        if (!c.new_block) {
            EXPECT_EQ(o->blocks, before.blocks) << c.what;
        }
    }
}

TEST_F(Store, EveryAddressFitsThirtyOneBits)
{
    // Blocks, pieces of arenas and pieces with mappings of their own.
    const int sizes[] = {1, 4095, 4096, 30000, 5 << 20, 7};
    for (int round = 0; round < 40; ++round)
        for (int n : sizes) {
            float* p = orga_alloc(o.get(), n, &o->direct_bytes);
            ASSERT_NE(p, nullptr);
            expect_store_memory(p, n);
        }
}

// Exhausts the low memory in a child process: the store reports it with null
// and leaves the header as it was.
TEST(StoreDeathTest, ExhaustionReturnsNullAndChangesNothing)
{
    auto exhaust = [] {
        auto o = std::make_unique<OrgaHeader>();
        int large = 0;
        while (orga_alloc(o.get(), 1 << 22, &o->direct_bytes) != nullptr)
            if (++large > 200) std::_Exit(2);
        while (orga_alloc(o.get(), 4095, &o->direct_bytes) != nullptr)
            if (o->blocks > 20000) std::_Exit(3);
        if (o->large_allocs != large) std::_Exit(4);
        o->block_used = ORGA_BLOCK_FLOATS;
        const OrgaHeader before = *o;
        float v[3] = {1, 2, 3};
        if (orga_insert(o.get(), v, 3, 3, 1) != nullptr) std::_Exit(5);
        if (std::memcmp(&before, o.get(), sizeof(OrgaHeader)) != 0) std::_Exit(6);
        std::_Exit(0);
    };
    EXPECT_EXIT(exhaust(), testing::ExitedWithCode(0), "");
}

// --- debug output ------------------------------------------------------------

TEST_F(Store, DebugLinesByMask)
{
    struct Step {
        std::vector<float> v;
        const char* elements;
        const char* cmp;
        const char* end;
    };
    const Step steps[] = {
        {{1, 0.25f}, " 0 1.00000000e+00\n 1 2.50000000e-01\n", "",
         "DEBUG ORGA insert: npar 2 FAIL\n\n"},
        {{1, 3}, " 0 1.00000000e+00\n 1 3.00000000e+00\n",
         "DEBUG ORGA: cmp 1 : 3.000000000000000e+00 != 2.500000000000000e-01 (TOL 1.000e-06)\n",
         "DEBUG ORGA insert: npar 2 FAIL\n\n"},
        // Mismatches at position 0 print no comparison.
        {{2, 0.25f}, " 0 2.00000000e+00\n 1 2.50000000e-01\n", "",
         "DEBUG ORGA insert: npar 2 FAIL\n\n"},
        {{1, 0.25f}, " 0 1.00000000e+00\n 1 2.50000000e-01\n",
         "DEBUG ORGA: cmp 1 : 2.500000000000000e-01 != 3.000000000000000e+00 (TOL 1.000e-06)\n",
         "DEBUG ORGA insert: npar 2 HIT\n\n"},
    };
    for (int mask : {0, 0x100, 0x200, 0x400, 0x700, 0x800}) {
        o = std::make_unique<OrgaHeader>();
        debug_mask = mask;
        std::string expected;
        testing::internal::CaptureStdout();
        for (const Step& s : steps) {
            insert(s.v);
            if (mask & 0x600) expected += "DEBUG orga insert:  npar 2\n";
            if (mask & 0x400) expected += s.elements;
            if (mask & 0x200) expected += s.cmp;
            if (mask & 0x100) expected += s.end;
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected) << std::hex << mask;
    }
}

TEST(DebugMask, ReadAsHexadecimal)
{
    struct Case { const char* value; int mask; };
    const Case cases[] = {
        {"700", 0x700}, {"0x100", 0x100}, {"FF", 0xff}, {"2zz", 2}, {"zz", 0}, {"", 0}, {nullptr, 0},
    };
    for (const Case& c : cases) {
        debug_mask = 0;
        if (c.value != nullptr)
            setenv("QUORAN_DEBUG_ORGA", c.value, 1);
        else
            unsetenv("QUORAN_DEBUG_ORGA");
        read_debug_mask();
        EXPECT_EQ(debug_mask, c.mask) << (c.value ? c.value : "(unset)");
    }
    unsetenv("QUORAN_DEBUG_ORGA");
    debug_mask = 0;
}

}  // namespace
