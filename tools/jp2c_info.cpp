// jp2c info INPUT [--markers]: the main header of a code stream in words,
// read by the codec's marker segment reader.
#include "jp2c.h"
#include "picfile.h"

#include <cstdio>
#include <string>
#include <unistd.h>

#include "base/stream.h"
#include "codestream/jp2box.h"
#include "codestream/jpc.h"

namespace {

const char* progression_name(int prg)
{
    static const char* const names[] = {"LRCP (layer, resolution, component, position)",
                                        "RLCP (resolution, layer, component, position)",
                                        "RPCL (resolution, position, component, layer)",
                                        "PCRL (position, component, resolution, layer)",
                                        "CPRL (component, position, resolution, layer)"};
    return prg >= 0 && prg < 5 ? names[prg] : "unknown";
}

std::string block_style(int sty)
{
    static const struct {
        int flag;
        const char* name;
    } flags[] = {{JPC_COX_LAZY, "lazy (bypass)"},   {JPC_COX_RESET, "reset probabilities"},
                 {JPC_COX_TERMALL, "terminate all"}, {JPC_COX_VSC, "vertically causal"},
                 {JPC_COX_PTERM, "predictable termination"},
                 {JPC_COX_SEGSYM, "segmentation symbols"}};
    std::string text;
    for (const auto& f : flags)
        if (sty & f.flag)
            text += (text.empty() ? "" : ", ") + std::string(f.name);
    return text.empty() ? "plain" : text;
}

// Levels, wavelet, code blocks and precincts of COD or COC parameters.
void print_coxcp(const jpc_coxcp_t& cp, const char* indent)
{
    std::printf("%sDecomposition levels: %d (%d resolutions)\n", indent, cp.numdlvls,
                cp.numdlvls + 1);
    std::printf("%sWavelet: %s\n", indent,
                cp.qmfbid == JPC_COX_RFT ? "5/3 reversible" : "9/7 irreversible");
    std::printf("%sCode blocks: %d x %d, style: %s\n", indent, 1 << (cp.cblkwidthval + 2),
                1 << (cp.cblkheightval + 2), block_style(cp.cblksty).c_str());
    if (cp.csty & JPC_COX_PRT) {
        std::printf("%sPrecincts:", indent);
        for (int r = 0; r < cp.numrlvls; ++r)
            std::printf(" %dx%d", 1 << cp.rlvls[r].prcwidth, 1 << cp.rlvls[r].prcheight);
        std::printf(" (resolution 0 first)\n");
    } else {
        std::printf("%sPrecincts: maximal (one per resolution)\n", indent);
    }
}

void print_qcxcp(const jpc_qcxcp_t& cp, const char* label)
{
    static const char* const styles[] = {"none (reversible)", "scalar derived",
                                         "scalar expounded"};
    std::printf("%s: %s, %d guard bits, %d step size%s\n", label,
                cp.qntsty < 3 ? styles[cp.qntsty] : "unknown", cp.numguard, cp.numstepsizes,
                cp.numstepsizes == 1 ? "" : "s");
    if (cp.numstepsizes > 0) {
        std::printf("  exponent/mantissa:");
        for (int i = 0; i < cp.numstepsizes; ++i)
            std::printf(" %d/%d", JPC_QCX_GETEXPN(cp.stepsizes[i]),
                        JPC_QCX_GETMANT(cp.stepsizes[i]));
        std::printf("\n");
    }
}

uint32_t ceil_div(uint32_t a, uint32_t b)
{
    return b ? static_cast<uint32_t>((uint64_t(a) + b - 1) / b) : 0;
}

void print_siz(const jpc_siz_t& siz)
{
    std::printf("Image: %u x %u, at (%u, %u) on the reference grid; capabilities 0x%04x\n",
                siz.width - siz.xoff, siz.height - siz.yoff, siz.xoff, siz.yoff, siz.caps);
    const uint32_t across = ceil_div(siz.width - siz.tilexoff, siz.tilewidth);
    const uint32_t down = ceil_div(siz.height - siz.tileyoff, siz.tileheight);
    std::printf("Tiles: %u x %u, at (%u, %u): %u across, %u down, %llu in all\n", siz.tilewidth,
                siz.tileheight, siz.tilexoff, siz.tileyoff, across, down,
                static_cast<unsigned long long>(across) * down);
    std::printf("Components: %d\n", siz.numcomps);
    for (int i = 0; siz.comps && i < siz.numcomps; ++i) {
        const jpc_sizcomp_t& c = siz.comps[i];
        std::printf("  %d: %d bits %s, sampling %d x %d (%u x %u samples)\n", i, c.prec,
                    c.sgnd ? "signed" : "unsigned", c.hsamp, c.vsamp,
                    ceil_div(siz.width, c.hsamp) - ceil_div(siz.xoff, c.hsamp),
                    ceil_div(siz.height, c.vsamp) - ceil_div(siz.yoff, c.vsamp));
    }
}

void print_cod(const jpc_cod_t& cod)
{
    std::printf("Coding style: SOP markers %s, EPH markers %s\n",
                cod.csty & JPC_COD_SOP ? "allowed" : "no", cod.csty & JPC_COD_EPH ? "yes" : "no");
    std::printf("Progression: %s\n", progression_name(cod.prg));
    std::printf("Layers: %d\n", cod.numlyrs);
    std::printf("Colour transform: %s\n", cod.mctrans ? "yes" : "no");
    print_coxcp(cod.compparms, "");
}

void print_ms(const jpc_ms_t* ms)
{
    switch (jpc_ms_gettype(ms)) {
    case JPC_MS_SIZ: print_siz(ms->parms.siz); break;
    case JPC_MS_COD: print_cod(ms->parms.cod); break;
    case JPC_MS_COC:
        std::printf("Component %d coding style:\n", ms->parms.coc.compno);
        print_coxcp(ms->parms.coc.compparms, "  ");
        break;
    case JPC_MS_QCD: print_qcxcp(ms->parms.qcd.compparms, "Quantization"); break;
    case JPC_MS_QCC: {
        const std::string label =
            "Component " + std::to_string(ms->parms.qcc.compno) + " quantization";
        print_qcxcp(ms->parms.qcc.compparms, label.c_str());
        break;
    }
    case JPC_MS_RGN:
        std::printf("Region of interest: component %d, shift %d\n", ms->parms.rgn.compno,
                    ms->parms.rgn.roishift);
        break;
    case JPC_MS_POC:
        std::printf("Progression changes: %d\n", ms->parms.poc.numpchgs);
        for (int i = 0; ms->parms.poc.pchgs && i < ms->parms.poc.numpchgs; ++i) {
            const jpc_pocpchg_t& p = ms->parms.poc.pchgs[i];
            std::printf("  %s: resolutions %d-%d, components %d-%d, layers up to %d\n",
                        progression_name(p.prgord), p.rlvlnostart, p.rlvlnoend - 1,
                        p.compnostart, p.compnoend - 1, p.lyrnoend);
        }
        break;
    case JPC_MS_COM: {
        const jpc_unk_t& c = ms->parms.unk;
        // Registration value (2 bytes: 1 for Latin-1 text), then the comment.
        if (!c.data || c.len < 2 || c.data[0] != 0 || c.data[1] != 1) {
            std::printf("Comment: %u bytes of binary data\n", c.len < 2 ? 0 : c.len - 2);
            break;
        }
        std::string text;
        for (uint32_t i = 2; i < c.len; ++i)
            text += c.data[i] >= 32 && c.data[i] < 127 ? char(c.data[i]) : '.';
        std::printf("Comment: %s\n", text.c_str());
        break;
    }
    default:
        std::printf("Marker segment: %s (%d bytes)\n", jpc_ms_name(jpc_ms_gettype(ms)),
                    ms->len + 2);
        break;
    }
}

// The codec's own dump of the segment on standard output.  The dump writes
// part of its lines to the diagnostic stream, so that stream is pointed at
// standard output meanwhile and the whole dump is written through it.
void dump_ms(const jpc_ms_t* ms)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved = dup(2);
    if (saved < 0 || dup2(1, 2) < 0) {
        if (saved >= 0)
            close(saved);
        return;
    }
    jpc_ms_dump(ms, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
}

} // namespace

int jp2c_info(int argc, char** argv)
{
    static const char* const allowed[] = {"--markers", nullptr};
    jp2c_args_t args;
    if (!jp2c_parse("info", argc, argv, allowed, 1, &args))
        return JP2C_FAILED;
    const char* input = args.files[0];
    const picfile_kind kind = picfile_sniff(input);
    if (kind == PICFILE_NONE) {
        std::fprintf(stderr, "jp2c info: cannot open \"%s\"\n", input);
        return JP2C_FAILED;
    }
    if (kind != PICFILE_J2K && kind != PICFILE_JP2) {
        std::fprintf(stderr, "jp2c info: \"%s\" is %s, not a JPEG 2000 code stream\n", input,
                     picfile_kindname(kind));
        return JP2C_FAILED;
    }
    stream_t* in = stream_fopen(input, "rb");
    jpc_cstate_t* cstate = jpc_cstate_create();
    if (!in || !cstate) {
        std::fprintf(stderr, "jp2c info: cannot open \"%s\"\n", input);
        if (in)
            stream_close(in);
        jpc_cstate_destroy(cstate);
        return JP2C_FAILED;
    }
    const int64_t filesize = stream_seek(in, 0, SEEK_END);
    stream_seek(in, 0, SEEK_SET);
    int64_t size = filesize;
    if (kind == PICFILE_JP2 && jp2_find_codestream(in, &size) < 0) {
        std::fprintf(stderr, "jp2c info: cannot find the code stream in \"%s\"\n", input);
        stream_close(in);
        jpc_cstate_destroy(cstate);
        return JP2C_FAILED;
    }
    if (size < 0)  // the code stream box runs to the end of the file
        size = filesize - stream_tell(in);
    std::printf("Code stream: %s (%lld bytes%s)\n", input, static_cast<long long>(size),
                kind == PICFILE_JP2 ? " in a JP2 file" : "");
    int status = JP2C_FAILED;
    for (;;) {
        jpc_ms_t* ms = jpc_getms(in, cstate);
        if (!ms) {
            std::fprintf(stderr, "jp2c info: the main header of \"%s\" is damaged or cut short\n",
                         input);
            break;
        }
        const int type = jpc_ms_gettype(ms);
        if (args.markers)
            dump_ms(ms);
        if (type == JPC_MS_SOT || type == JPC_MS_EOC) {
            std::printf("Main header: %lld bytes\n",
                        static_cast<long long>(stream_tell(in) - (type == JPC_MS_SOT ? 12 : 2)));
            jpc_ms_destroy(ms);
            status = JP2C_OK;
            break;
        }
        if (type != JPC_MS_SOC)
            print_ms(ms);
        jpc_ms_destroy(ms);
    }
    jpc_cstate_destroy(cstate);
    stream_close(in);
    return status;
}
