// Marker segments: write -> read round trips, wire layout, dumps, and the
// refusal of malformed or out-of-range segments.
#include "codestream/jpc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/util.h"

namespace {

using bytes = std::vector<uint8_t>;

// A memory stream holding the given bytes, positioned at the start.
stream_t* memin(const bytes& data)
{
    stream_t* s = stream_memopen(nullptr, 0);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(stream_write(s, data.data(), static_cast<int64_t>(data.size())),
              static_cast<int64_t>(data.size()));
    EXPECT_EQ(stream_rewind(s), 0);
    return s;
}

bytes memcontents(stream_t* s)
{
    const int64_t n = stream_memlength(s);
    const uint8_t* p = stream_memdata(s);
    return n > 0 ? bytes(p, p + n) : bytes();
}

struct cstate_deleter {
    void operator()(jpc_cstate_t* c) const { jpc_cstate_destroy(c); }
};
struct ms_deleter {
    void operator()(jpc_ms_t* m) const { jpc_ms_destroy(m); }
};
using cstate_ptr = std::unique_ptr<jpc_cstate_t, cstate_deleter>;
using ms_ptr = std::unique_ptr<jpc_ms_t, ms_deleter>;

cstate_ptr make_cstate(int numcomps = 0)
{
    cstate_ptr c(jpc_cstate_create());
    c->numcomps = numcomps;
    return c;
}

// Writes the record and returns the bytes written (empty on failure).
bytes write_ms(jpc_ms_t* ms, jpc_cstate_t* cstate, int* result = nullptr)
{
    stream_t* out = stream_memopen(nullptr, 0);
    const int r = jpc_putms(out, cstate, ms);
    if (result)
        *result = r;
    bytes data = r == 0 ? memcontents(out) : bytes();
    stream_close(out);
    return data;
}

// Reads one segment from the bytes; also reports what went to stderr and
// how many bytes were consumed.
struct readres {
    ms_ptr ms;
    std::string err;
    int64_t consumed = 0;
};

readres read_ms(const bytes& data, jpc_cstate_t* cstate)
{
    readres r;
    stream_t* in = memin(data);
    testing::internal::CaptureStderr();
    r.ms.reset(jpc_getms(in, cstate));
    r.err = testing::internal::GetCapturedStderr();
    r.consumed = stream_tell(in);
    stream_close(in);
    return r;
}

// Segment bytes: marker, length field, parameters.
bytes segment(int type, const bytes& parms)
{
    bytes b = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
    const size_t len = parms.size() + 2;
    b.push_back(static_cast<uint8_t>(len >> 8));
    b.push_back(static_cast<uint8_t>(len));
    for (uint8_t v : parms)
        b.push_back(v);
    return b;
}

// Writes then reads back the record; checks that the bytes come out whole.
ms_ptr round_trip(jpc_ms_t* ms, jpc_cstate_t* wstate, jpc_cstate_t* rstate, bytes* wire = nullptr)
{
    int result = -1;
    bytes data = write_ms(ms, wstate, &result);
    EXPECT_EQ(result, 0);
    if (wire)
        *wire = data;
    readres r = read_ms(data, rstate);
    EXPECT_NE(r.ms, nullptr);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.consumed, static_cast<int64_t>(data.size()));
    if (r.ms) {
        EXPECT_EQ(r.ms->type, ms->type);
        EXPECT_EQ(r.ms->len, ms->len);
    }
    return std::move(r.ms);
}

// Text that a dump writes to a file, and what it writes to stderr.
struct dumpres {
    std::string out;
    std::string err;
};

dumpres dump(const jpc_ms_t* ms)
{
    dumpres d;
    FILE* f = tmpfile();
    testing::internal::CaptureStderr();
    jpc_ms_dump(ms, f);
    d.err = testing::internal::GetCapturedStderr();
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        d.out.append(buf, n);
    fclose(f);
    return d;
}

ms_ptr make_siz(int numcomps)
{
    ms_ptr ms(jpc_ms_create(JPC_MS_SIZ));
    jpc_siz_t* siz = &ms->parms.siz;
    siz->width = 640;
    siz->height = 480;
    siz->tilewidth = 640;
    siz->tileheight = 480;
    siz->numcomps = static_cast<uint16_t>(numcomps);
    siz->comps = static_cast<jpc_sizcomp_t*>(calloc(numcomps, sizeof(jpc_sizcomp_t)));
    for (int i = 0; i < numcomps; ++i)
        siz->comps[i] = {8, 0, 1, 1};
    return ms;
}

// SIZ parameters with the given geometry and one unsigned 8-bit component.
bytes siz_parms(uint32_t w, uint32_t h, uint32_t xo, uint32_t yo, uint32_t tw, uint32_t th,
                uint32_t txo, uint32_t tyo, bytes comp = {7, 1, 1})
{
    bytes b = {0, 0};
    for (uint32_t v : {w, h, xo, yo, tw, th, txo, tyo})
        for (int s = 24; s >= 0; s -= 8)
            b.push_back(static_cast<uint8_t>(v >> s));
    b.push_back(0);
    b.push_back(1);
    b.insert(b.end(), comp.begin(), comp.end());
    return b;
}

}  // namespace

// ---------------------------------------------------------------------------
// Primitives and the signature test.

TEST(JpcPrimitives, BigEndianIntegersAndEndOfData)
{
    stream_t* out = stream_memopen(nullptr, 0);
    EXPECT_EQ(jpc_putuint8(out, 0x1ab), 0);
    EXPECT_EQ(jpc_putuint16(out, 0x1234), 0);
    EXPECT_EQ(jpc_putuint32(out, 0xdeadbeef), 0);
    const bytes wire = {0xab, 0x12, 0x34, 0xde, 0xad, 0xbe, 0xef};
    EXPECT_EQ(memcontents(out), wire);
    stream_close(out);

    bytes data = wire;
    data.insert(data.end(), {1, 2, 3});
    stream_t* in = memin(data);
    uint8_t v8;
    uint16_t v16;
    uint32_t v32;
    EXPECT_EQ(jpc_getuint8(in, &v8), 0);
    EXPECT_EQ(jpc_getuint16(in, &v16), 0);
    EXPECT_EQ(jpc_getuint32(in, &v32), 0);
    EXPECT_EQ(v8, 0xab);
    EXPECT_EQ(v16, 0x1234);
    EXPECT_EQ(v32, 0xdeadbeefu);
    EXPECT_EQ(jpc_getuint32(in, &v32), -1);  // only three bytes left
    EXPECT_EQ(jpc_getuint8(in, &v8), -1);
    stream_close(in);
}

TEST(JpcPrimitives, SignatureTestLeavesTheStreamAlone)
{
    for (const bytes& data : {bytes{0xff, 0x4f, 0xff, 0x51}, bytes{0xff, 0x51, 0xff, 0x4f},
                              bytes{0xff}, bytes{}}) {
        stream_t* in = memin(data);
        const int expect = data.size() >= 2 && data[0] == 0xff && data[1] == 0x4f ? 0 : -1;
        EXPECT_EQ(jpc_validate(in), expect);
        EXPECT_EQ(stream_tell(in), 0);
        for (uint8_t b : data)
            EXPECT_EQ(stream_getc(in), b);
        EXPECT_EQ(stream_getc(in), -1);
        stream_close(in);
    }
}

// ---------------------------------------------------------------------------
// Round trips and wire layout.

// Writes the record, expects the given bytes, reads them back and expects
// the record read to write the same bytes again.
static ms_ptr expect_wire(jpc_ms_t* ms, jpc_cstate_t* cstate, const bytes& expected)
{
    bytes wire;
    ms_ptr back = round_trip(ms, cstate, cstate, &wire);
    EXPECT_EQ(wire, expected) << jpc_ms_name(ms->type);
    if (back) {
        EXPECT_EQ(write_ms(back.get(), cstate), expected) << jpc_ms_name(ms->type);
    }
    return back;
}

TEST(JpcRoundTrip, MarkersWithoutParameters)
{
    auto cs = make_cstate();
    for (int type : {JPC_MS_SOC, JPC_MS_SOD, JPC_MS_EOC, JPC_MS_EPH}) {
        ms_ptr ms(jpc_ms_create(type));
        ms_ptr back = expect_wire(ms.get(), cs.get(), {0xff, static_cast<uint8_t>(type)});
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->len, 0);
    }
    // A reserved code is read without a length field; its name is UNKNOWN.
    readres r = read_ms({0xff, 0x30, 0x00, 0x05}, cs.get());
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(r.consumed, 2);
    EXPECT_EQ(dump(r.ms.get()).out, "----\nmarker segment:\ntype = 0xff30 (UNKNOWN);\n");
    // A code below 0xff00 is no marker.
    EXPECT_EQ(read_ms({0xfe, 0x4f}, cs.get()).ms, nullptr);
}

TEST(JpcRoundTrip, WireLayoutOfEachType)
{
    auto cs = make_cstate();
    ms_ptr sot(jpc_ms_create(JPC_MS_SOT));
    sot->parms.sot = {7, 0x01020304, 2, 3};
    expect_wire(sot.get(), cs.get(), {0xff, 0x90, 0, 10, 0, 7, 1, 2, 3, 4, 2, 3});

    ms_ptr siz = make_siz(2);
    siz->parms.siz.xoff = 3;
    siz->parms.siz.tilexoff = 1;
    siz->parms.siz.comps[1] = {12, 1, 2, 3};
    expect_wire(siz.get(), cs.get(),
                {0xff, 0x51, 0, 44, 0, 0, 0, 0, 2, 0x80, 0, 0, 1, 0xe0, 0, 0, 0, 3, 0, 0, 0, 0,
                 0, 0, 2, 0x80, 0, 0, 1, 0xe0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 7, 1, 1, 0x8b, 2, 3});
    EXPECT_EQ(cs->numcomps, 2);

    // As the encoder builds a COD: Scod in compparms.csty.
    ms_ptr cod(jpc_ms_create(JPC_MS_COD));
    cod->parms.cod.csty = JPC_COX_PRT;
    cod->parms.cod.prg = JPC_COD_RPCLPRG;
    cod->parms.cod.numlyrs = 300;
    cod->parms.cod.mctrans = 1;
    jpc_coxcp_t& cp = cod->parms.cod.compparms;
    cp = {JPC_COX_PRT | JPC_COD_SOP | JPC_COD_EPH, 2, 4, 3, JPC_COX_LAZY | JPC_COX_SEGSYM,
          JPC_COX_RFT, 3, {{0, 0}, {7, 8}, {15, 1}}};
    ms_ptr back = expect_wire(cod.get(), cs.get(),
                              {0xff, 0x52, 0, 15, 0x07, 2, 0x01, 0x2c, 1, 2, 4, 3, 0x21, 1, 0x00,
                               0x87, 0x1f});
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->parms.cod.csty, 0x07);
    EXPECT_EQ(back->parms.cod.compparms.csty, JPC_COX_PRT);
    EXPECT_EQ(back->parms.cod.compparms.numrlvls, 3);
    EXPECT_EQ(back->parms.cod.compparms.rlvls[1].prcheight, 8);

    ms_ptr coc(jpc_ms_create(JPC_MS_COC));
    coc->parms.coc.compno = 1;
    coc->parms.coc.compparms = cp;
    coc->parms.coc.compparms.csty = 0;
    expect_wire(coc.get(), cs.get(), {0xff, 0x53, 0, 9, 1, 0, 2, 4, 3, 0x21, 1});

    // Quantization style 0 carries exponents only, one byte each.
    ms_ptr qcd(jpc_ms_create(JPC_MS_QCD));
    jpc_qcxcp_t& q = qcd->parms.qcd.compparms;
    q.numguard = 2;
    q.numstepsizes = 2;
    q.stepsizes[0] = static_cast<uint16_t>(JPC_QCX_EXPN(8));
    q.stepsizes[1] = static_cast<uint16_t>(JPC_QCX_EXPN(31));
    expect_wire(qcd.get(), cs.get(), {0xff, 0x5c, 0, 5, 0x40, 8 << 3, 31 << 3});
    ms_ptr qcc(jpc_ms_create(JPC_MS_QCC));
    qcc->parms.qcc.compno = 1;
    qcc->parms.qcc.compparms = {JPC_QCX_SIQNT, 1, 1, {0x1234}};
    expect_wire(qcc.get(), cs.get(), {0xff, 0x5d, 0, 6, 1, 0x21, 0x12, 0x34});

    ms_ptr rgn(jpc_ms_create(JPC_MS_RGN));
    rgn->parms.rgn = {1, 0, 9};
    expect_wire(rgn.get(), cs.get(), {0xff, 0x5e, 0, 5, 1, 0, 9});

    ms_ptr sop(jpc_ms_create(JPC_MS_SOP));
    sop->parms.sop.seqno = 0xabcd;
    expect_wire(sop.get(), cs.get(), {0xff, 0x91, 0, 4, 0xab, 0xcd});

    ms_ptr crg(jpc_ms_create(JPC_MS_CRG));
    crg->parms.crg.numcomps = 2;
    crg->parms.crg.comps = static_cast<jpc_crgcomp_t*>(calloc(2, sizeof(jpc_crgcomp_t)));
    crg->parms.crg.comps[1] = {0x1234, 0xfffe};
    expect_wire(crg.get(), cs.get(), {0xff, 0x63, 0, 10, 0, 0, 0, 0, 0x12, 0x34, 0xff, 0xfe});

    // CAP: one Ccap per Pcap bit; HT code streams announce Part 15.
    ms_ptr cap(jpc_ms_create(JPC_MS_CAP));
    cap->parms.cap.pcap = JPC_CAP_PART15;
    cap->parms.cap.numccaps = 1;
    cap->parms.cap.ccaps[0] = 0x0023;
    expect_wire(cap.get(), cs.get(), {0xff, 0x50, 0, 8, 0, 2, 0, 0, 0, 0x23});

    ms_ptr ppt(jpc_ms_create(JPC_MS_PPT));
    ppt->parms.ppt = {4, 3, static_cast<uint8_t*>(malloc(3))};
    memcpy(ppt->parms.ppt.data, "\x80\x01\x02", 3);
    expect_wire(ppt.get(), cs.get(), {0xff, 0x61, 0, 6, 4, 0x80, 1, 2});

    // Comments are read as raw bytes and written back as they are.
    readres r = read_ms(segment(JPC_MS_COM, {0, 1, 'h', 'i'}), cs.get());
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(write_ms(r.ms.get(), cs.get()), segment(JPC_MS_COM, {0, 1, 'h', 'i'}));
}

TEST(JpcRoundTrip, RawSegmentsAreReadButNotWritten)
{
    auto cs = make_cstate(3);
    for (int type : {JPC_MS_TLM, JPC_MS_PLM, JPC_MS_PLT, 0xff70}) {
        const bytes seg = segment(type, {1, 2, 3, 4, 5});
        readres r = read_ms(seg, cs.get());
        ASSERT_NE(r.ms, nullptr) << type;
        EXPECT_EQ(r.consumed, static_cast<int64_t>(seg.size()));
        EXPECT_EQ(bytes(r.ms->parms.unk.data, r.ms->parms.unk.data + r.ms->parms.unk.len),
                  (bytes{1, 2, 3, 4, 5}));
        int result = 0;
        write_ms(r.ms.get(), cs.get(), &result);
        EXPECT_EQ(result, -1) << type;
    }
    EXPECT_STREQ(jpc_ms_name(JPC_MS_PLT), "UNKNOWN");
}

TEST(JpcRoundTrip, ComponentIndexWidthFollowsNumcomps)
{
    for (int numcomps : {256, 257}) {
        auto cs = make_cstate();
        // Writing SIZ sets the component count that decides the width.
        ms_ptr siz = make_siz(numcomps);
        ASSERT_EQ(write_ms(siz.get(), cs.get()).size(), 4u + 36 + 3u * numcomps);
        EXPECT_EQ(cs->numcomps, numcomps);
        const int w = numcomps > 256 ? 2 : 1;

        ms_ptr coc(jpc_ms_create(JPC_MS_COC));
        coc->parms.coc.compno = 255;
        coc->parms.coc.compparms.numdlvls = 5;
        ms_ptr back = round_trip(coc.get(), cs.get(), cs.get());
        EXPECT_EQ(coc->len, w + 6);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->parms.coc.compno, 255);

        ms_ptr rgn(jpc_ms_create(JPC_MS_RGN));
        rgn->parms.rgn = {255, 0, 3};
        back = round_trip(rgn.get(), cs.get(), cs.get());
        EXPECT_EQ(rgn->len, w + 2);

        ms_ptr qcc(jpc_ms_create(JPC_MS_QCC));
        qcc->parms.qcc.compno = 255;
        qcc->parms.qcc.compparms.qntsty = JPC_QCX_SEQNT;
        qcc->parms.qcc.compparms.numstepsizes = 4;
        back = round_trip(qcc.get(), cs.get(), cs.get());
        EXPECT_EQ(qcc->len, w + 1 + 8);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->parms.qcc.compparms.numstepsizes, 4);

        ms_ptr poc(jpc_ms_create(JPC_MS_POC));
        poc->parms.poc.numpchgs = 1;
        poc->parms.poc.pchgs = static_cast<jpc_pocpchg_t*>(calloc(1, sizeof(jpc_pocpchg_t)));
        poc->parms.poc.pchgs[0] = {1, 3, 7, 6, 256, 4};
        back = round_trip(poc.get(), cs.get(), cs.get());
        EXPECT_EQ(poc->len, 5 + 2 * w);
        ASSERT_NE(back, nullptr);
        ASSERT_EQ(back->parms.poc.numpchgs, 1);
        const jpc_pocpchg_t& p = back->parms.poc.pchgs[0];
        EXPECT_EQ(p.rlvlnostart, 1);
        EXPECT_EQ(p.compnostart, 3);
        EXPECT_EQ(p.lyrnoend, 7);
        EXPECT_EQ(p.rlvlnoend, 6);
        EXPECT_EQ(p.compnoend, 256);  // with one-byte indices 256 travels as 0
        EXPECT_EQ(p.prgord, 4);
    }
}

TEST(JpcRoundTrip, PpmContinuationAcrossSegments)
{
    auto ws = make_cstate(1);
    auto rs = make_cstate(1);
    // Segment 0: a complete 2-byte header, then 3 of a 7-byte header.
    ms_ptr ppm(jpc_ms_create(JPC_MS_PPM));
    jpc_ppm_t& p = ppm->parms.ppm;
    p.ind = 0;
    p.numparts = 2;
    p.parts = static_cast<jpc_ppmpart_t*>(calloc(2, sizeof(jpc_ppmpart_t)));
    p.parts[0] = {2, static_cast<uint8_t*>(malloc(2))};
    memcpy(p.parts[0].data, "\x11\x22", 2);
    p.parts[1] = {3, static_cast<uint8_t*>(malloc(3))};
    memcpy(p.parts[1].data, "\x33\x44\x55", 3);
    p.lastcont = 1;
    p.lastfulllen = 7;
    bytes wire;
    ms_ptr back = round_trip(ppm.get(), ws.get(), rs.get(), &wire);
    EXPECT_EQ(wire, (bytes{0xff, 0x60, 0, 16, 0, 0, 0, 0, 2, 0x11, 0x22, 0, 0, 0, 7, 0x33, 0x44,
                           0x55}));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->parms.ppm.numparts, 2);
    EXPECT_EQ(back->parms.ppm.firstcont, 0);
    EXPECT_EQ(back->parms.ppm.lastcont, 1);
    EXPECT_EQ(back->parms.ppm.lastfulllen, 7u);
    EXPECT_EQ(rs->ppmmissing, 4u);

    // A PPM with another Zppm while bytes are pending is refused and leaves
    // the state alone.
    const bytes wrongind = segment(JPC_MS_PPM, {5, 0x66, 0x77, 0x88, 0x99});
    EXPECT_EQ(read_ms(wrongind, rs.get()).ms, nullptr);
    EXPECT_EQ(rs->ppmmissing, 4u);

    // Segment 1 completes it and starts a 1-byte header.
    const bytes seg1 = segment(JPC_MS_PPM, {1, 0x66, 0x77, 0x88, 0x99, 0, 0, 0, 1, 0xaa});
    readres r = read_ms(seg1, rs.get());
    ASSERT_NE(r.ms, nullptr);
    const jpc_ppm_t& q = r.ms->parms.ppm;
    ASSERT_EQ(q.numparts, 2);
    EXPECT_EQ(q.firstcont, 1);
    EXPECT_EQ(q.lastcont, 0);
    EXPECT_EQ(q.parts[0].len, 4u);
    EXPECT_EQ(bytes(q.parts[0].data, q.parts[0].data + 4), (bytes{0x66, 0x77, 0x88, 0x99}));
    EXPECT_EQ(q.parts[1].len, 1u);
    EXPECT_EQ(rs->ppmmissing, 0u);
    // Writing it back needs no length before the continuing part.
    EXPECT_EQ(write_ms(r.ms.get(), ws.get()), seg1);

    // A zero Nppm is an empty header; a length that runs short fails.
    r = read_ms(segment(JPC_MS_PPM, {2, 0, 0, 0, 0}), rs.get());
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(r.ms->parms.ppm.numparts, 1);
    EXPECT_EQ(r.ms->parms.ppm.parts[0].len, 0u);
    EXPECT_EQ(read_ms(segment(JPC_MS_PPM, {3, 0, 0, 1}), rs.get()).ms, nullptr);
}

TEST(JpcRoundTrip, PpmWithoutDataContinuesNothing)
{
    auto rs = make_cstate(1);
    readres r = read_ms(segment(JPC_MS_PPM, {0, 0, 0, 0, 9, 1, 2}), rs.get());
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(rs->ppmmissing, 7u);
    // Only Zppm: no part, so nothing is flagged as continuing.
    r = read_ms(segment(JPC_MS_PPM, {1}), rs.get());
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(r.ms->parms.ppm.numparts, 0);
    EXPECT_EQ(r.ms->parms.ppm.firstcont, 0);
    EXPECT_EQ(r.ms->parms.ppm.lastcont, 0);
    EXPECT_EQ(rs->ppmmissing, 7u);
    EXPECT_EQ(rs->ppmnextind, 2);
}

// ---------------------------------------------------------------------------
// Lengths and trailing bytes.

TEST(JpcLengths, LengthFieldBelowThreeFails)
{
    auto cs = make_cstate(1);
    for (int type : {JPC_MS_SIZ, JPC_MS_COD, JPC_MS_QCD, JPC_MS_COM, JPC_MS_SOT}) {
        EXPECT_EQ(read_ms({0xff, static_cast<uint8_t>(type), 0, 2, 0, 0}, cs.get()).ms, nullptr);
        EXPECT_EQ(read_ms({0xff, static_cast<uint8_t>(type), 0, 1}, cs.get()).ms, nullptr);
    }
    // A length beyond the end of the data fails.
    EXPECT_EQ(read_ms({0xff, 0x91, 0, 5, 0, 1}, cs.get()).ms, nullptr);
    // PPT needs at least one byte of header data.
    EXPECT_EQ(read_ms(segment(JPC_MS_PPT, {0}), cs.get()).ms, nullptr);
}

TEST(JpcLengths, CodPrecinctEntriesShortOrOneExtra)
{
    auto cs = make_cstate(1);
    // 2 levels with precincts need 3 entries.
    const bytes head = {JPC_COX_PRT, 0, 0, 1, 0, 2, 4, 4, 0, 1};
    bytes parms = head;
    parms.insert(parms.end(), {0x00, 0x55});
    EXPECT_EQ(read_ms(segment(JPC_MS_COD, parms), cs.get()).ms, nullptr);

    parms.push_back(0x55);
    parms.push_back(0x99);
    const bytes seg = segment(JPC_MS_COD, parms);
    readres r = read_ms(seg, cs.get());
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(r.err, "warning: trailing garbage in marker segment (1 bytes)\n");
    // The whole segment is consumed, the extra byte included.
    EXPECT_EQ(r.consumed, static_cast<int64_t>(seg.size()));
    EXPECT_EQ(r.ms->parms.cod.compparms.numrlvls, 3);
}

TEST(JpcLengths, QcdExpoundedStepSizeCount)
{
    auto cs = make_cstate(1);
    // Sqcd + 6 bytes: 3 step sizes.
    readres r = read_ms(segment(JPC_MS_QCD, {0x42, 1, 2, 3, 4, 5, 6}), cs.get());
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(r.ms->parms.qcd.compparms.numstepsizes, 3);
    EXPECT_EQ(r.ms->parms.qcd.compparms.stepsizes[2], 0x0506);
    EXPECT_EQ(r.err, "");
    // Sqcd + 7 bytes: still 3, one byte left over.
    r = read_ms(segment(JPC_MS_QCD, {0x42, 1, 2, 3, 4, 5, 6, 7}), cs.get());
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(r.ms->parms.qcd.compparms.numstepsizes, 3);
    EXPECT_EQ(r.err, "warning: trailing garbage in marker segment (1 bytes)\n");
}

TEST(JpcLengths, EveryPrefixOfAValidSegmentFails)
{
    auto cs = make_cstate(3);
    std::vector<bytes> segs;
    ms_ptr siz = make_siz(3);
    segs.push_back(write_ms(siz.get(), cs.get()));
    const bytes codparms = {JPC_COX_PRT, 0, 0, 1, 0, 2, 4, 4, 0, 1, 0x00, 0x55, 0x66};
    segs.push_back(segment(JPC_MS_COD, codparms));
    segs.push_back(segment(JPC_MS_COC, {1, JPC_COX_PRT, 1, 4, 4, 0, 0, 0x00, 0x11}));
    segs.push_back(segment(JPC_MS_QCC, {2, 0x22, 1, 2, 3, 4}));
    segs.push_back(segment(JPC_MS_POC, {0, 0, 0, 1, 5, 3, 0, 1, 1, 0, 2, 6, 2, 4}));
    segs.push_back(segment(JPC_MS_PPM, {0, 0, 0, 0, 2, 9, 9}));
    segs.push_back(segment(JPC_MS_SOT, {0, 0, 0, 0, 0, 0, 0, 1}));
    segs.push_back(segment(JPC_MS_CRG, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6}));
    for (const bytes& seg : segs) {
        ASSERT_NE(read_ms(seg, cs.get()).ms, nullptr);
        for (size_t n = 0; n < seg.size(); ++n) {
            bytes prefix(seg.begin(), seg.begin() + n);
            EXPECT_EQ(read_ms(prefix, cs.get()).ms, nullptr) << "prefix " << n;
            // Cut parameters with a correct length field fail as well.
            // (PPM, QCC and POC take their counts from the length.)
            if (n >= 4 && seg[1] != 0x60 && seg[1] != 0x5d && seg[1] != 0x5f) {
                bytes cut = segment(seg[0] << 8 | seg[1], bytes(seg.begin() + 4, seg.begin() + n));
                EXPECT_EQ(read_ms(cut, cs.get()).ms, nullptr) << "cut " << n;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Values the codec cannot hold are refused.

TEST(JpcRefusals, SizGeometryAndComponents)
{
    auto cs = make_cstate();
    auto siz_ok = [&](const bytes& parms) {
        return read_ms(segment(JPC_MS_SIZ, parms), cs.get()).ms != nullptr;
    };
    EXPECT_TRUE(siz_ok(siz_parms(100, 50, 0, 0, 100, 50, 0, 0)));
    EXPECT_TRUE(siz_ok(siz_parms(100, 50, 99, 49, 10, 10, 95, 45)));
    EXPECT_TRUE(siz_ok(siz_parms(0xffffffff, 0xffffffff, 0xfffffffe, 0, 0xffffffff, 0xffffffff,
                                 0xfffffffe, 0)));
    EXPECT_TRUE(siz_ok(siz_parms(100, 50, 0, 0, 100, 50, 0, 0, {37, 255, 255})));  // 38 bits
    EXPECT_FALSE(siz_ok(siz_parms(0, 50, 0, 0, 100, 50, 0, 0)));     // no width
    EXPECT_FALSE(siz_ok(siz_parms(100, 50, 0, 0, 0, 50, 0, 0)));     // no tile width
    EXPECT_FALSE(siz_ok(siz_parms(100, 50, 100, 0, 100, 50, 0, 0)));  // xoff = width
    EXPECT_FALSE(siz_ok(siz_parms(100, 50, 0, 50, 100, 50, 0, 0)));   // yoff = height
    EXPECT_FALSE(siz_ok(siz_parms(100, 50, 10, 0, 100, 50, 11, 0)));  // tiles start inside
    EXPECT_FALSE(siz_ok(siz_parms(100, 50, 10, 0, 5, 50, 5, 0)));     // first tile misses
    EXPECT_FALSE(siz_ok(siz_parms(0xffffffff, 0xffffffff, 0xfffffffe, 0, 0xffffffff, 1,
                                  0xfffffffe, 0)));  // 2^32 tiles
    EXPECT_FALSE(siz_ok(siz_parms(100, 50, 0, 0, 100, 50, 0, 0, {38, 1, 1})));  // 39 bits
    EXPECT_FALSE(siz_ok(siz_parms(100, 50, 0, 0, 100, 50, 0, 0, {7, 0, 1})));   // hsamp 0
    EXPECT_FALSE(siz_ok(siz_parms(100, 50, 0, 0, 100, 50, 0, 0, {7, 1, 0})));   // vsamp 0
    EXPECT_EQ(cs->numcomps, 1);  // only accepted segments set it

    // No components, and more than 16384.
    bytes parms = siz_parms(100, 50, 0, 0, 100, 50, 0, 0, {});
    parms[34] = 0;
    parms[35] = 0;
    EXPECT_FALSE(siz_ok(parms));
    parms[34] = 0x40;
    parms[35] = 0x01;
    parms.resize(parms.size() + 3 * 16385, 1);
    EXPECT_FALSE(siz_ok(parms));
    parms[35] = 0x00;
    EXPECT_TRUE(siz_ok(parms));  // exactly 16384, three bytes left over

    // The writer refuses the same.
    ms_ptr siz = make_siz(1);
    siz->parms.siz.comps[0].hsamp = 0;
    int result = 0;
    write_ms(siz.get(), cs.get(), &result);
    EXPECT_EQ(result, -1);
    siz->parms.siz.comps[0] = {39, 0, 1, 1};
    write_ms(siz.get(), cs.get(), &result);
    EXPECT_EQ(result, -1);
}

TEST(JpcRefusals, CodingStyleLimits)
{
    auto cs = make_cstate(1);
    auto cod_ok = [&](bytes parms) {
        return read_ms(segment(JPC_MS_COD, parms), cs.get()).ms != nullptr;
    };
    //                  Scod prg  lyrs  mct lvl  w  h sty qmfb
    EXPECT_TRUE(cod_ok({0, 4, 0, 1, 0, 32, 4, 4, 0, 1}));
    EXPECT_TRUE(cod_ok({0, 0, 0, 1, 0, 0, 8, 0, 0, 0}));
    EXPECT_TRUE(cod_ok({0, 0, 0, 1, 0, 0, 0, 8, 0, 0}));
    EXPECT_FALSE(cod_ok({0, 0, 0, 1, 0, 33, 4, 4, 0, 1}));   // 33 levels
    EXPECT_FALSE(cod_ok({0, 0, 0, 1, 0, 255, 4, 4, 0, 1}));
    EXPECT_FALSE(cod_ok({0, 0, 0, 1, 0, 5, 9, 0, 0, 1}));    // width exponent 11
    EXPECT_FALSE(cod_ok({0, 0, 0, 1, 0, 5, 0, 9, 0, 1}));
    EXPECT_FALSE(cod_ok({0, 0, 0, 1, 0, 5, 5, 4, 0, 1}));    // exponent sum 13
    EXPECT_FALSE(cod_ok({0, 0, 0, 1, 0, 5, 4, 4, 0, 2}));    // no such wavelet
    EXPECT_FALSE(cod_ok({0, 5, 0, 1, 0, 5, 4, 4, 0, 1}));    // no such progression
    EXPECT_FALSE(cod_ok({0, 0, 0, 0, 0, 5, 4, 4, 0, 1}));    // no layers
    // Precinct exponent 0 only at resolution level 0.
    EXPECT_TRUE(cod_ok({1, 0, 0, 1, 0, 1, 4, 4, 0, 1, 0x00, 0x11}));
    EXPECT_FALSE(cod_ok({1, 0, 0, 1, 0, 1, 4, 4, 0, 1, 0x00, 0x10}));
    EXPECT_FALSE(cod_ok({1, 0, 0, 1, 0, 1, 4, 4, 0, 1, 0x00, 0x01}));

    bytes coc = {0, 0, 33, 4, 4, 0, 1};
    EXPECT_EQ(read_ms(segment(JPC_MS_COC, coc), cs.get()).ms, nullptr);
    coc[2] = 32;
    EXPECT_NE(read_ms(segment(JPC_MS_COC, coc), cs.get()).ms, nullptr);

    // The writers refuse what the readers would.
    ms_ptr cod(jpc_ms_create(JPC_MS_COD));
    cod->parms.cod.numlyrs = 1;
    cod->parms.cod.compparms.numdlvls = 33;
    int result = 0;
    write_ms(cod.get(), cs.get(), &result);
    EXPECT_EQ(result, -1);
    cod->parms.cod.compparms.numdlvls = 5;
    cod->parms.cod.compparms.cblkwidthval = 10;  // a 4096 x 1 code block
    cod->parms.cod.compparms.cblkheightval = 254;
    write_ms(cod.get(), cs.get(), &result);
    EXPECT_EQ(result, -1);
    cod->parms.cod.compparms.cblkwidthval = 4;
    cod->parms.cod.compparms.cblkheightval = 4;
    cod->parms.cod.numlyrs = 0;
    write_ms(cod.get(), cs.get(), &result);
    EXPECT_EQ(result, -1);
}

TEST(JpcRefusals, StepSizeCount)
{
    auto cs = make_cstate(2);
    bytes parms(1 + 2 * JPC_MAXSTEPSIZES, 0);
    parms[0] = JPC_QCX_SEQNT;
    EXPECT_NE(read_ms(segment(JPC_MS_QCD, parms), cs.get()).ms, nullptr);
    parms.resize(parms.size() + 2);
    EXPECT_EQ(read_ms(segment(JPC_MS_QCD, parms), cs.get()).ms, nullptr);  // 98
    // Style 0: one byte per step size.
    bytes noqnt(1 + JPC_MAXSTEPSIZES + 1, 0);
    EXPECT_EQ(read_ms(segment(JPC_MS_QCD, noqnt), cs.get()).ms, nullptr);
    noqnt.pop_back();
    EXPECT_NE(read_ms(segment(JPC_MS_QCD, noqnt), cs.get()).ms, nullptr);
    bytes qcc = noqnt;
    qcc.insert(qcc.begin(), 1);
    EXPECT_NE(read_ms(segment(JPC_MS_QCC, qcc), cs.get()).ms, nullptr);
    qcc.push_back(0);
    EXPECT_EQ(read_ms(segment(JPC_MS_QCC, qcc), cs.get()).ms, nullptr);
}

TEST(JpcRefusals, ComponentIndicesAndPoc)
{
    auto cs = make_cstate(3);
    EXPECT_EQ(read_ms(segment(JPC_MS_COC, {3, 0, 1, 4, 4, 0, 1}), cs.get()).ms, nullptr);
    EXPECT_EQ(read_ms(segment(JPC_MS_RGN, {3, 0, 1}), cs.get()).ms, nullptr);
    EXPECT_EQ(read_ms(segment(JPC_MS_QCC, {3, 0x40, 0x48}), cs.get()).ms, nullptr);
    EXPECT_NE(read_ms(segment(JPC_MS_QCC, {2, 0x40, 0x48}), cs.get()).ms, nullptr);
    ms_ptr rgn(jpc_ms_create(JPC_MS_RGN));
    rgn->parms.rgn.compno = 3;
    int result = 0;
    write_ms(rgn.get(), cs.get(), &result);
    EXPECT_EQ(result, -1);  // nor is it written

    auto poc = [&](bytes chg) { return read_ms(segment(JPC_MS_POC, chg), cs.get()); };
    //                   rs cs  le    re ce po
    EXPECT_NE(poc({0, 2, 0, 1, 5, 2, 0}).ms, nullptr);   // CEpoc = CSpoc
    EXPECT_EQ(poc({0, 2, 0, 1, 5, 1, 0}).ms, nullptr);   // CEpoc < CSpoc
    EXPECT_EQ(poc({3, 0, 0, 1, 2, 3, 0}).ms, nullptr);   // REpoc < RSpoc
    EXPECT_EQ(poc({0, 3, 0, 1, 5, 3, 0}).ms, nullptr);   // CSpoc beyond the components
    EXPECT_EQ(poc({0, 0, 0, 1, 5, 3, 5}).ms, nullptr);   // no such progression
    readres r = poc({0, 1, 0, 1, 5, 9, 0});             // CEpoc beyond: the last one
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(r.ms->parms.poc.pchgs[0].compnoend, 3);
    // A change that does not fit whole is left over.
    r = poc({0, 1, 0, 1, 5, 3, 0, 0, 0});
    ASSERT_NE(r.ms, nullptr);
    EXPECT_EQ(r.ms->parms.poc.numpchgs, 1);
    EXPECT_EQ(r.err, "warning: trailing garbage in marker segment (2 bytes)\n");
}

// ---------------------------------------------------------------------------
// Dumps.

TEST(JpcDump, SizCodQcdPocFormats)
{
    auto cs = make_cstate();
    ms_ptr siz = make_siz(2);
    siz->parms.siz.comps[1] = {12, 1, 2, 1};
    ASSERT_EQ(write_ms(siz.get(), cs.get()).size(), 4u + 36 + 6);
    dumpres d = dump(siz.get());
    EXPECT_EQ(d.out,
              "----\nmarker segment:\ntype = 0xff51 (SIZ); len = 42 (44);"
              "caps = 0x00;\n"
              "width = 640; height = 480; xoff = 0; yoff = 0;\n"
              "tilewidth = 640; tileheight = 480; tilexoff = 0; tileyoff = 0;\n"
              "prec[0] = 8; sgnd[0] = 0; hsamp[0] = 1; vsamp[0] = 1\n"
              "prec[1] = 12; sgnd[1] = 1; hsamp[1] = 2; vsamp[1] = 1\n");
    EXPECT_EQ(d.err, "\n");

    readres r = read_ms(segment(JPC_MS_COD, {0x03, 1, 0, 2, 1, 1, 4, 3, 0x21, 0, 0x00, 0x87}),
                        cs.get());
    ASSERT_NE(r.ms, nullptr);
    d = dump(r.ms.get());
    EXPECT_EQ(d.out,
              "----\nmarker segment:\ntype = 0xff52 (COD); len = 12 (14);"
              "csty = 0x01;\n"
              "numdlvls = 1; qmfbid = 0; mctrans = 1\n"
              "prg = 1; numlyrs = 2;\n"
              "cblkwidthval = 4; cblkheightval = 3; cblksty = 0x21;\n");
    EXPECT_EQ(d.err, "\nprcwidth[0] = 0, prcheight[0] = 0\nprcwidth[1] = 7, prcheight[1] = 8\n");

    r = read_ms(segment(JPC_MS_QCC, {1, 0x22, 0x48, 0x12, 0x50, 0x00}), cs.get());
    ASSERT_NE(r.ms, nullptr);
    d = dump(r.ms.get());
    EXPECT_EQ(d.out,
              "----\nmarker segment:\ntype = 0xff5d (QCC); len = 6 (8);"
              "compno = 1; qntsty = 2; numguard = 1; numstepsizes = 2\n"
              "expn[0] = 0x0009; mant[0] = 0x0012;\n"
              "expn[1] = 0x000a; mant[1] = 0x0000;\n");

    r = read_ms(segment(JPC_MS_POC, {1, 0, 0, 3, 4, 2, 2}), cs.get());
    ASSERT_NE(r.ms, nullptr);
    d = dump(r.ms.get());
    EXPECT_EQ(d.out,
              "----\nmarker segment:\ntype = 0xff5f (POC); len = 7 (9);"
              "po[0] = 2; cs[0] = 0; ce[0] = 2; rs[0] = 1; re[0] = 4; le[0] = 3\n");
}

TEST(JpcDump, SmallSegmentsAndDebugLevel)
{
    auto cs = make_cstate(2);
    auto out_of = [&](const bytes& seg) {
        readres r = read_ms(seg, cs.get());
        EXPECT_NE(r.ms, nullptr);
        return r.ms ? dump(r.ms.get()).out : std::string();
    };
    const std::string head = "----\nmarker segment:\ntype = ";
    EXPECT_EQ(out_of(segment(JPC_MS_SOT, {0, 1, 0, 0, 1, 0, 0, 2})),
              head + "0xff90 (SOT); len = 8 (10);tileno = 1; len = 256; partno = 0; numparts = 2\n");
    EXPECT_EQ(out_of(segment(JPC_MS_COC, {1, 0, 3, 2, 2, 0x04, 1})),
              head + "0xff53 (COC); len = 7 (9);compno = 1; csty = 0x00; numdlvls = 3;\n"
                     "cblkwidthval = 2; cblkheightval = 2; cblksty = 0x04; qmfbid = 1;\n");
    EXPECT_EQ(out_of(segment(JPC_MS_RGN, {1, 0, 7})),
              head + "0xff5e (RGN); len = 3 (5);compno = 1; roisty = 0; roishift = 7\n");
    EXPECT_EQ(out_of(segment(JPC_MS_QCD, {0x40, 0x48})),
              head + "0xff5c (QCD); len = 2 (4);qntsty = 0; numguard = 2; numstepsizes = 1\n"
                     "expn[0] = 0x0009; mant[0] = 0x0000;\n");
    EXPECT_EQ(out_of(segment(JPC_MS_SOP, {0, 9})),
              head + "0xff91 (SOP); len = 2 (4);seqno = 9;\n");
    EXPECT_EQ(out_of(segment(JPC_MS_CRG, {0, 1, 0, 2, 0, 3, 0, 4})),
              head + "0xff63 (CRG); len = 8 (10);hoff[0] = 1; voff[0] = 2\nhoff[1] = 3; voff[1] = 4\n");
    EXPECT_EQ(out_of(segment(0xff70, {0xab, 0x01})), head + "0xff70 (UNKNOWN); len = 2 (4);ab 01 ");
    EXPECT_EQ(out_of(segment(JPC_MS_COM, {0, 1, 'x'})), head + "0xff64 (COM); len = 3 (5);");

    // With the debug level above 0 every segment read or written is dumped.
    const int old = jpc_setdbglevel(1);
    readres r = read_ms(segment(JPC_MS_SOP, {0, 9}), cs.get());
    EXPECT_EQ(r.err, head + "0xff91 (SOP); len = 2 (4);\nseqno = 9;\n");
    r = read_ms({0xff, 0xd9}, cs.get());
    EXPECT_EQ(r.err, head + "0xffd9 (EOC);\n");
    testing::internal::CaptureStderr();
    write_ms(r.ms.get(), cs.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), head + "0xffd9 (EOC);\n");
    jpc_setdbglevel(old);
}

// ---------------------------------------------------------------------------
// Real code streams: every header segment of the conformance streams reads,
// and writes back to the same bytes.

TEST(JpcConformance, HeadersReadAndWriteBack)
{
    const std::string dir = std::string(JP2_TESTDATA) + "/conformance/";
    int numstreams = 0;
    for (const char* name : {"p0_01", "p0_02", "p0_03", "p0_04", "p0_05", "p0_06", "p0_08",
                             "p0_09", "p0_10", "p0_11", "p0_12", "p0_13", "p0_14", "p0_15",
                             "p0_16", "p1_01", "p1_02", "p1_03", "p1_04", "p1_05", "p1_06",
                             "p1_07"}) {
        stream_t* in = stream_fopen((dir + name + ".j2k").c_str(), "rb");
        if (!in)
            continue;
        ++numstreams;
        SCOPED_TRACE(name);
        EXPECT_EQ(jpc_validate(in), 0);
        auto rs = make_cstate();
        auto ws = make_cstate();
        int numsegs = 0;
        for (;;) {
            const int64_t start = stream_tell(in);
            testing::internal::CaptureStderr();
            ms_ptr ms(jpc_getms(in, rs.get()));
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            ASSERT_NE(ms, nullptr) << "segment at " << start;
            ++numsegs;
            const int type = ms->type;
            if (type == JPC_MS_EOC)
                break;
            // The segment as it is in the file.
            const int64_t end = stream_tell(in);
            bytes orig(static_cast<size_t>(end - start));
            ASSERT_EQ(stream_seek(in, start, SEEK_SET), start);
            ASSERT_EQ(stream_read(in, orig.data(), end - start), end - start);
            // (A POC component end beyond the last component, as in p0_03,
            // comes back as the number of components.)
            if (type == JPC_MS_POC) {
                EXPECT_EQ(write_ms(ms.get(), ws.get()).size(), orig.size());
            } else if (type != JPC_MS_TLM && type != JPC_MS_PLM && jpc_ms_isknown(type)) {
                EXPECT_EQ(write_ms(ms.get(), ws.get()), orig) << jpc_ms_name(type);
            }
            if (type == JPC_MS_SOT) {
                const uint32_t psot = ms->parms.sot.len;
                if (!psot)
                    break;
                // Read the tile-part header, then skip its packet data.
                for (;;) {
                    ms_ptr hdr(jpc_getms(in, rs.get()));
                    ASSERT_NE(hdr, nullptr);
                    ++numsegs;
                    if (hdr->type == JPC_MS_SOD)
                        break;
                    if (hdr->type != JPC_MS_PLT) {
                        EXPECT_NE(write_ms(hdr.get(), ws.get()), bytes()) << jpc_ms_name(hdr->type);
                    }
                }
                ASSERT_EQ(stream_seek(in, start + psot, SEEK_SET), start + psot);
            }
        }
        EXPECT_GE(numsegs, 5);
        stream_close(in);
    }
    EXPECT_EQ(numstreams, 22);
}

// Damaged headers never make a reader crash or read beyond its segment (the
// sanitizer build watches); they are read or refused.
TEST(JpcConformance, DamagedHeadersAreReadOrRefused)
{
    const std::string dir = std::string(JP2_TESTDATA) + "/conformance/";
    uint32_t seed = 12345;
    auto rnd = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (const char* name : {"p0_03", "p0_13", "p1_03", "p1_02", "p0_02"}) {
        FILE* f = fopen((dir + name + ".j2k").c_str(), "rb");
        if (!f)
            continue;
        bytes data(2048);
        data.resize(fread(data.data(), 1, data.size(), f));
        fclose(f);
        for (int iter = 0; iter < 400; ++iter) {
            bytes damaged = data;
            const int numflips = 1 + static_cast<int>(rnd() % 4);
            for (int k = 0; k < numflips; ++k)
                damaged[rnd() % std::min<size_t>(damaged.size(), 400)] = static_cast<uint8_t>(rnd());
            stream_t* in = memin(damaged);
            auto cs = make_cstate();
            testing::internal::CaptureStderr();
            for (int n = 0; n < 64; ++n) {
                ms_ptr ms(jpc_getms(in, cs.get()));
                if (!ms || ms->type == JPC_MS_SOD || ms->type == JPC_MS_EOC)
                    break;
                if (ms->type == JPC_MS_SIZ) {
                    EXPECT_GE(ms->parms.siz.numcomps, 1);
                    EXPECT_LE(ms->parms.siz.numcomps, JPC_MAXCOMPS);
                }
                if (ms->type == JPC_MS_COD) {
                    EXPECT_LE(ms->parms.cod.compparms.numdlvls, JPC_MAXDLVLS);
                }
                if (ms->type == JPC_MS_QCD) {
                    EXPECT_LE(ms->parms.qcd.compparms.numstepsizes, JPC_MAXSTEPSIZES);
                }
                // Dumping any record that was read is safe as well.
                FILE* sink = fopen("/dev/null", "w");
                jpc_ms_dump(ms.get(), sink);
                fclose(sink);
            }
            testing::internal::GetCapturedStderr();
            stream_close(in);
        }
    }
}
