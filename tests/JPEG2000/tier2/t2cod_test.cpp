// Packet iterator: the packet sequences of the five progression orders and
// of POC changes, on tiles built by the decoder's tile initialisation.
#include "decoder/jpdec_tile.h"
#include "tier2/t2cod.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace {

struct Pkt {
    int lyrno, rlvlno, compno, prcno;
    bool operator<(const Pkt& o) const
    {
        return std::tie(lyrno, rlvlno, compno, prcno) <
               std::tie(o.lyrno, o.rlvlno, o.compno, o.prcno);
    }
    bool operator==(const Pkt& o) const
    {
        return lyrno == o.lyrno && rlvlno == o.rlvlno && compno == o.compno && prcno == o.prcno;
    }
};

struct Comp {
    int hsamp = 1, vsamp = 1, numrlvls = 3, prcexpn = 15;
};

// A tile over [x0, x1) x [y0, y1) of the given components, built the way the
// decoder builds it.
struct Tile {
    dec_tile_t tile;
    std::vector<Comp> comps;

    Tile(int64_t x0, int64_t y0, int64_t x1, int64_t y1, std::vector<Comp> cs, int numlyrs,
         int prgord, const std::vector<pchg_t>& pchgs = {})
        : comps(std::move(cs))
    {
        tile.xstart = x0;
        tile.ystart = y0;
        tile.xend = x1;
        tile.yend = y1;
        tile.cp = dec_cp_create(int(comps.size()));
        tile.cp->numlyrs = numlyrs;
        tile.cp->prgord = prgord;
        for (size_t k = 0; k < comps.size(); ++k) {
            dec_ccp_t& ccp = tile.cp->ccps[k];
            ccp.numrlvls = comps[k].numrlvls;
            ccp.cblkwidthexpn = ccp.cblkheightexpn = 6;
            ccp.qmfbid = 1;
            ccp.numguardbits = 2;
            ccp.numstepsizes = JPDEC_MAXSTEPSIZES;
            for (auto& s : ccp.stepsizes)
                s = 9 << 11;
            for (int r = 0; r < JPDEC_MAXRLVLS; ++r) {
                ccp.prcwidthexpns[r] = uint8_t(comps[k].prcexpn);
                ccp.prcheightexpns[r] = uint8_t(comps[k].prcexpn);
            }
            hs.push_back(comps[k].hsamp);
            vs.push_back(comps[k].vsamp);
            precs.push_back(8);
        }
        for (const pchg_t& p : pchgs)
            pchglist_insert(tile.cp->pchglist, -1, pchg_copy(&p));
        ok = dec_tile_init(&tile, hs.data(), vs.data(), precs.data()) == 0;
    }
    ~Tile() { dec_tile_release(&tile); }

    std::vector<Pkt> packets()
    {
        std::vector<Pkt> v;
        pi_t* pi = tile.pi;
        for (int ret = pi_init(pi); ret == 0; ret = pi_next(pi))
            v.push_back({pi->lyrno, pi->rlvlno, pi->compno, pi->prcno});
        return v;
    }

    int totalprcs() const
    {
        int n = 0;
        for (const dec_tcomp_t& tc : tile.tcomps)
            for (const dec_rlvl_t& rl : tc.rlvls)
                n += rl.numprcs;
        return n;
    }

    bool ok = false;
    std::vector<int> hs, vs, precs;
};

bool all_distinct(std::vector<Pkt> v)
{
    std::sort(v.begin(), v.end());
    return std::adjacent_find(v.begin(), v.end()) == v.end();
}

TEST(PacketIterator, LayerAndResolutionOrdersWithoutChanges)
{
    // 2 components, 2 levels, one precinct per level, 2 layers.
    Tile lrcp(0, 0, 16, 16, {Comp{1, 1, 2}, Comp{1, 1, 2}}, 2, JPC_PRG_LRCP);
    ASSERT_TRUE(lrcp.ok);
    std::vector<Pkt> expect = {{0, 0, 0, 0}, {0, 0, 1, 0}, {0, 1, 0, 0}, {0, 1, 1, 0},
                               {1, 0, 0, 0}, {1, 0, 1, 0}, {1, 1, 0, 0}, {1, 1, 1, 0}};
    EXPECT_EQ(lrcp.packets(), expect);

    Tile rlcp(0, 0, 16, 16, {Comp{1, 1, 2}, Comp{1, 1, 2}}, 2, JPC_PRG_RLCP);
    ASSERT_TRUE(rlcp.ok);
    expect = {{0, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}, {1, 0, 1, 0},
              {0, 1, 0, 0}, {0, 1, 1, 0}, {1, 1, 0, 0}, {1, 1, 1, 0}};
    EXPECT_EQ(rlcp.packets(), expect);
}

TEST(PacketIterator, PositionOrdersWithOnePrecinctFollowTheirNesting)
{
    std::vector<Comp> comps = {Comp{1, 1, 3}, Comp{1, 1, 2}};
    Tile rlcp(0, 0, 32, 32, comps, 2, JPC_PRG_RLCP);
    Tile rpcl(0, 0, 32, 32, comps, 2, JPC_PRG_RPCL);
    Tile pcrl(0, 0, 32, 32, comps, 2, JPC_PRG_PCRL);
    Tile cprl(0, 0, 32, 32, comps, 2, JPC_PRG_CPRL);
    ASSERT_TRUE(rlcp.ok && rpcl.ok && pcrl.ok && cprl.ok);
    std::vector<Pkt> a = rlcp.packets(), b = rpcl.packets(), c = pcrl.packets(),
                     d = cprl.packets();
    ASSERT_EQ(a.size(), 10u);  // 2 layers x (3 + 2) levels
    // RPCL: level, component, layer.
    std::vector<Pkt> expect = {{0, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 1, 0},
                               {0, 1, 0, 0}, {1, 1, 0, 0}, {0, 1, 1, 0}, {1, 1, 1, 0},
                               {0, 2, 0, 0}, {1, 2, 0, 0}};
    EXPECT_EQ(b, expect);
    // PCRL: component, level, layer.
    expect = {{0, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 0, 0}, {1, 1, 0, 0}, {0, 2, 0, 0},
              {1, 2, 0, 0}, {0, 0, 1, 0}, {1, 0, 1, 0}, {0, 1, 1, 0}, {1, 1, 1, 0}};
    EXPECT_EQ(c, expect);
    EXPECT_EQ(d, expect);  // CPRL is the same with one position
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b);
}

// Reference grid position at which a precinct is first met, for checking
// the position-driven orders independently of the iterator.
std::pair<int64_t, int64_t> prcorigin(const Tile& t, int compno, int rlvlno, int prcno)
{
    const dec_tcomp_t& tc = t.tile.tcomps[compno];
    const dec_rlvl_t& rl = tc.rlvls[rlvlno];
    int n = tc.numrlvls - 1 - rlvlno;
    int64_t px = (rl.xstart >> rl.prcwidthexpn) + prcno % rl.numhprcs;
    int64_t py = (rl.ystart >> rl.prcheightexpn) + prcno / rl.numhprcs;
    int64_t x = (px << rl.prcwidthexpn << n) * tc.hsamp;
    int64_t y = (py << rl.prcheightexpn << n) * tc.vsamp;
    return {std::max(x, t.tile.xstart), std::max(y, t.tile.ystart)};
}

TEST(PacketIterator, PositionOrdersWithPrecinctsOffsetsAndSubsampling)
{
    // A tile that starts off the precinct grid, with a subsampled second
    // component and small precincts.
    std::vector<Comp> comps = {Comp{1, 1, 3, 3}, Comp{2, 2, 2, 2}};
    for (int prg : {JPC_PRG_RPCL, JPC_PRG_PCRL, JPC_PRG_CPRL}) {
        Tile t(5, 3, 61, 45, comps, 2, prg);
        ASSERT_TRUE(t.ok);
        std::vector<Pkt> got = t.packets();
        EXPECT_EQ(int(got.size()), 2 * t.totalprcs()) << "order " << prg;
        EXPECT_TRUE(all_distinct(got)) << "order " << prg;
        auto key = [&](const Pkt& p) {
            auto [x, y] = prcorigin(t, p.compno, p.rlvlno, p.prcno);
            if (prg == JPC_PRG_RPCL)
                return std::make_tuple(int64_t(p.rlvlno), y, x, int64_t(p.compno),
                                       int64_t(p.lyrno));
            if (prg == JPC_PRG_PCRL)
                return std::make_tuple(y, x, int64_t(p.compno), int64_t(p.rlvlno),
                                       int64_t(p.lyrno));
            return std::make_tuple(int64_t(p.compno), y, x, int64_t(p.rlvlno),
                                   int64_t(p.lyrno));
        };
        for (size_t i = 1; i < got.size(); ++i)
            EXPECT_LT(key(got[i - 1]), key(got[i])) << "order " << prg << " packet " << i;
    }
}

TEST(PacketIterator, ChangesAloneGiveThePackets)
{
    // POC: LRCP for layer 0 only, then RLCP up to layer 2: packets of an
    // earlier change are not produced again, and the progression of COD
    // does not follow the changes (layer 2 is in no change).
    pchg_t first;
    first.prgord = JPC_PRG_LRCP;
    first.rlvlnostart = 0;
    first.rlvlnoend = 33;
    first.compnostart = 0;
    first.compnoend = 200;  // beyond the components: limited to them
    first.lyrnoend = 1;
    pchg_t second = first;
    second.prgord = JPC_PRG_RLCP;
    second.lyrnoend = 2;
    Tile t(0, 0, 16, 16, {Comp{1, 1, 2}, Comp{1, 1, 2}}, 3, JPC_PRG_LRCP, {first, second});
    ASSERT_TRUE(t.ok);
    std::vector<Pkt> got = t.packets();
    std::vector<Pkt> expect = {
        {0, 0, 0, 0}, {0, 0, 1, 0}, {0, 1, 0, 0}, {0, 1, 1, 0},  // layer 0, LRCP
        {1, 0, 0, 0}, {1, 0, 1, 0},                              // level 0, RLCP
        {1, 1, 0, 0}, {1, 1, 1, 0},                              // level 1
    };
    EXPECT_EQ(got, expect);
}

TEST(PacketIterator, EmptyLevelsHaveNoPackets)
{
    // A 1 x 1 tile with 4 levels: the three lowest levels of the component
    // at an odd position are empty in one direction.
    Tile t(3, 3, 4, 4, {Comp{1, 1, 4}}, 1, JPC_PRG_LRCP);
    ASSERT_TRUE(t.ok);
    std::vector<Pkt> got = t.packets();
    EXPECT_EQ(int(got.size()), t.totalprcs());
    for (const Pkt& p : got)
        EXPECT_GT(t.tile.tcomps[0].rlvls[p.rlvlno].numprcs, 0);
    EXPECT_LT(t.totalprcs(), 4);
}

TEST(PacketIterator, ChangeListOperations)
{
    pchglist_t* list = pchglist_create();
    for (int i = 0; i < 300; ++i) {
        pchg_t p;
        p.lyrnoend = i;
        ASSERT_EQ(pchglist_insert(list, -1, pchg_copy(&p)), 0);
    }
    pchg_t p;
    p.lyrnoend = 1000;
    pchglist_insert(list, 0, pchg_copy(&p));
    EXPECT_EQ(pchglist_numpchgs(list), 301);
    pchglist_t* copy = pchglist_copy(list);
    pchg_t* removed = pchglist_remove(list, 0);
    EXPECT_EQ(removed->lyrnoend, 1000);
    pchg_destroy(removed);
    EXPECT_EQ(pchglist_get(list, 0)->lyrnoend, 0);
    EXPECT_EQ(pchglist_get(copy, 0)->lyrnoend, 1000);
    EXPECT_EQ(pchglist_get(copy, 300)->lyrnoend, 299);
    pchglist_destroy(list);
    pchglist_destroy(copy);
}

}  // namespace
