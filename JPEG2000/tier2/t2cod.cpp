// Packet iterator over the five progression orders of T.800 B.12 with POC
// progression changes.  Each order is a set of nested loops whose counters
// live in the iterator, so that a call resumes right after the packet the
// previous call produced.
#include "tier2/t2cod.h"

#include "base/fatal.h"

#include <algorithm>
#include <new>

// ---------------------------------------------------------------------------
// Progression changes and their list

pchg_t* pchg_copy(const pchg_t* pchg)
{
    return new (std::nothrow) pchg_t(*pchg);
}

void pchg_destroy(pchg_t* pchg)
{
    delete pchg;
}

pchglist_t* pchglist_create()
{
    return new (std::nothrow) pchglist_t;
}

int pchglist_insert(pchglist_t* list, int pchgno, pchg_t* pchg)
{
    if (pchgno < 0 || pchgno > list->numpchgs)
        pchgno = list->numpchgs;
    if (list->pchgs.size() == list->pchgs.capacity())
        list->pchgs.reserve(list->pchgs.size() + 128);
    list->pchgs.insert(list->pchgs.begin() + pchgno, pchg);
    ++list->numpchgs;
    return 0;
}

pchg_t* pchglist_remove(pchglist_t* list, int pchgno)
{
    FATAL_CHECK(pchgno < list->numpchgs);
    pchg_t* pchg = list->pchgs[pchgno];
    list->pchgs.erase(list->pchgs.begin() + pchgno);
    --list->numpchgs;
    return pchg;
}

pchglist_t* pchglist_copy(const pchglist_t* list)
{
    pchglist_t* copy = pchglist_create();
    if (!copy)
        return nullptr;
    for (const pchg_t* pchg : list->pchgs) {
        pchg_t* c = pchg_copy(pchg);
        if (!c) {
            pchglist_destroy(copy);
            return nullptr;
        }
        pchglist_insert(copy, -1, c);
    }
    return copy;
}

pchg_t* pchglist_get(const pchglist_t* list, int pchgno)
{
    FATAL_CHECK(pchgno >= 0 && pchgno < list->numpchgs);
    return list->pchgs[pchgno];
}

int pchglist_numpchgs(const pchglist_t* list)
{
    return list->numpchgs;
}

void pchglist_destroy(pchglist_t* list)
{
    if (!list)
        return;
    for (pchg_t* pchg : list->pchgs)
        pchg_destroy(pchg);
    delete list;
}

// ---------------------------------------------------------------------------
// Iterator

pi_t* pi_create()
{
    pi_t* pi = new (std::nothrow) pi_t;
    if (!pi)
        return nullptr;
    pi->pchglist = pchglist_create();
    if (!pi->pchglist) {
        delete pi;
        return nullptr;
    }
    return pi;
}

void pi_destroy(pi_t* pi)
{
    if (!pi)
        return;
    pchglist_destroy(pi->pchglist);
    delete pi;
}

int pi_addpchg(pi_t* pi, const pchg_t* pchg)
{
    pchg_t* c = pchg_copy(pchg);
    if (!c)
        return -1;
    return pchglist_insert(pi->pchglist, -1, c);
}

static int64_t ceildiv(int64_t a, int64_t b)
{
    return (a + b - 1) / b;
}

static int64_t gcd64(int64_t a, int64_t b)
{
    while (b) {
        int64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// No position step: the position loops then run once.
static constexpr int64_t NOSTEP = int64_t(1) << 62;

// The position steps over the levels of one component (or of all when
// compno is negative), and over one level (or all when rlvlno is
// negative).  The steps divide every precinct spacing concerned on the
// reference grid, so the position loops meet the start of every precinct.
static void pi_setsteps(pi_t* pi, int compno, int rlvlno)
{
    int64_t xstep = 0, ystep = 0;
    for (int k = 0; k < pi->numcomps; ++k) {
        if (compno >= 0 && k != compno)
            continue;
        const picomp_t& c = pi->picomps[k];
        for (int r = 0; r < c.numrlvls; ++r) {
            if (rlvlno >= 0 && r != rlvlno)
                continue;
            const pirlvl_t& l = c.pirlvls[r];
            int n = c.numrlvls - r - 1;
            xstep = gcd64(xstep, int64_t(c.hsamp) << (l.prcwidthexpn + n));
            ystep = gcd64(ystep, int64_t(c.vsamp) << (l.prcheightexpn + n));
        }
    }
    pi->xstep = xstep > 0 ? xstep : NOSTEP;
    pi->ystep = ystep > 0 ? ystep : NOSTEP;
}

// Whether (x, y) starts a precinct of the current component and level
// (T.800 B.12.1.3); if so, sets prcno.
static bool pi_prcat(pi_t* pi)
{
    const picomp_t* c = pi->picomp;
    const pirlvl_t* l = pi->pirlvl;
    if (l->numprcs <= 0)
        return false;
    int n = c->numrlvls - pi->rlvlno - 1;
    FATAL_CHECK(n >= 0 && pi->x >= 0 && pi->y >= 0);
    int64_t hs = int64_t(c->hsamp) << n;
    int64_t vs = int64_t(c->vsamp) << n;
    int pw = l->prcwidthexpn, ph = l->prcheightexpn;
    int64_t trx0 = ceildiv(pi->xstart, hs);
    int64_t try0 = ceildiv(pi->ystart, vs);
    bool xok = pi->x % (hs << pw) == 0 ||
               (pi->x == pi->xstart && (trx0 & ((int64_t(1) << pw) - 1)) != 0);
    bool yok = pi->y % (vs << ph) == 0 ||
               (pi->y == pi->ystart && (try0 & ((int64_t(1) << ph) - 1)) != 0);
    if (!xok || !yok)
        return false;
    int64_t px = (ceildiv(pi->x, hs) >> pw) - (trx0 >> pw);
    int64_t py = (ceildiv(pi->y, vs) >> ph) - (try0 >> ph);
    if (px < 0 || py < 0 || px >= l->numhprcs)
        return false;
    int64_t prcno = px + py * l->numhprcs;
    if (prcno >= l->numprcs)
        return false;
    pi->prcno = int(prcno);
    return true;
}

static int64_t nextpos(int64_t v, int64_t step)
{
    return v + step - v % step;
}

// Loop bounds of the progression change in progress.
static int lyrend(const pi_t* pi)
{
    return std::min(pi->numlyrs, pi->pchg->lyrnoend);
}

static int compend(const pi_t* pi)
{
    return std::min(pi->numcomps, pi->pchg->compnoend);
}

static int rlvlend(const pi_t* pi, int numrlvls)
{
    return std::min(numrlvls, pi->pchg->rlvlnoend);
}

// Makes the current level of the current component the one in progress;
// false when the component has fewer levels.
static bool pi_selrlvl(pi_t* pi)
{
    pi->picomp = &pi->picomps[pi->compno];
    if (pi->rlvlno >= pi->picomp->numrlvls)
        return false;
    pi->pirlvl = &pi->picomp->pirlvls[pi->rlvlno];
    return true;
}

// Claims the packet of the current layer and precinct unless an earlier
// progression change produced it already.
static bool pi_take(pi_t* pi)
{
    int& next = pi->pirlvl->prclyrnos[pi->prcno];
    if (pi->lyrno < next)
        return false;
    next = pi->lyrno + 1;
    return true;
}

// Each order resumes inside its loops right after the packet it produced
// last.
static int pi_nextlrcp(pi_t* pi)
{
    if (!pi->first)
        goto skip;
    pi->first = false;
    for (pi->lyrno = 0; pi->lyrno < lyrend(pi); ++pi->lyrno)
        for (pi->rlvlno = pi->pchg->rlvlnostart; pi->rlvlno < rlvlend(pi, pi->maxrlvls);
             ++pi->rlvlno)
            for (pi->compno = pi->pchg->compnostart; pi->compno < compend(pi); ++pi->compno) {
                if (!pi_selrlvl(pi))
                    continue;
                for (pi->prcno = 0; pi->prcno < pi->pirlvl->numprcs; ++pi->prcno) {
                    if (pi_take(pi))
                        return 0;
                skip:;
                }
            }
    return 1;
}

static int pi_nextrlcp(pi_t* pi)
{
    if (!pi->first)
        goto skip;
    pi->first = false;
    for (pi->rlvlno = pi->pchg->rlvlnostart; pi->rlvlno < rlvlend(pi, pi->maxrlvls); ++pi->rlvlno)
        for (pi->lyrno = 0; pi->lyrno < lyrend(pi); ++pi->lyrno)
            for (pi->compno = pi->pchg->compnostart; pi->compno < compend(pi); ++pi->compno) {
                if (!pi_selrlvl(pi))
                    continue;
                for (pi->prcno = 0; pi->prcno < pi->pirlvl->numprcs; ++pi->prcno) {
                    if (pi_take(pi))
                        return 0;
                skip:;
                }
            }
    return 1;
}

static int pi_nextrpcl(pi_t* pi)
{
    if (!pi->first)
        goto skip;
    pi->first = false;
    for (pi->rlvlno = pi->pchg->rlvlnostart; pi->rlvlno < rlvlend(pi, pi->maxrlvls);
         ++pi->rlvlno) {
        // Only the precincts of this level matter: its own spacing suffices.
        pi_setsteps(pi, -1, pi->rlvlno);
        for (pi->y = pi->ystart; pi->y < pi->yend; pi->y = nextpos(pi->y, pi->ystep))
            for (pi->x = pi->xstart; pi->x < pi->xend; pi->x = nextpos(pi->x, pi->xstep))
                for (pi->compno = pi->pchg->compnostart; pi->compno < compend(pi); ++pi->compno) {
                    if (!pi_selrlvl(pi) || !pi_prcat(pi))
                        continue;
                    for (pi->lyrno = 0; pi->lyrno < lyrend(pi); ++pi->lyrno) {
                        if (pi_take(pi))
                            return 0;
                    skip:;
                    }
                }
    }
    return 1;
}

static int pi_nextpcrl(pi_t* pi)
{
    if (!pi->first)
        goto skip;
    pi->first = false;
    pi_setsteps(pi, -1, -1);
    for (pi->y = pi->ystart; pi->y < pi->yend; pi->y = nextpos(pi->y, pi->ystep))
        for (pi->x = pi->xstart; pi->x < pi->xend; pi->x = nextpos(pi->x, pi->xstep))
            for (pi->compno = pi->pchg->compnostart; pi->compno < compend(pi); ++pi->compno)
                for (pi->rlvlno = pi->pchg->rlvlnostart;
                     pi->rlvlno < rlvlend(pi, pi->picomps[pi->compno].numrlvls); ++pi->rlvlno) {
                    if (!pi_selrlvl(pi) || !pi_prcat(pi))
                        continue;
                    for (pi->lyrno = 0; pi->lyrno < lyrend(pi); ++pi->lyrno) {
                        if (pi_take(pi))
                            return 0;
                    skip:;
                    }
                }
    return 1;
}

static int pi_nextcprl(pi_t* pi)
{
    if (!pi->first)
        goto skip;
    pi->first = false;
    for (pi->compno = pi->pchg->compnostart; pi->compno < compend(pi); ++pi->compno) {
        pi_setsteps(pi, pi->compno, -1);
        for (pi->y = pi->ystart; pi->y < pi->yend; pi->y = nextpos(pi->y, pi->ystep))
            for (pi->x = pi->xstart; pi->x < pi->xend; pi->x = nextpos(pi->x, pi->xstep))
                for (pi->rlvlno = pi->pchg->rlvlnostart;
                     pi->rlvlno < rlvlend(pi, pi->picomps[pi->compno].numrlvls); ++pi->rlvlno) {
                    if (!pi_selrlvl(pi) || !pi_prcat(pi))
                        continue;
                    for (pi->lyrno = 0; pi->lyrno < lyrend(pi); ++pi->lyrno) {
                        if (pi_take(pi))
                            return 0;
                    skip:;
                    }
                }
    }
    return 1;
}

int pi_next(pi_t* pi)
{
    if (pi->done)
        return 1;
    for (;;) {
        int ret = 1;
        if (pi->pchg) {
            switch (pi->pchg->prgord) {
            case JPC_PRG_LRCP: ret = pi_nextlrcp(pi); break;
            case JPC_PRG_RLCP: ret = pi_nextrlcp(pi); break;
            case JPC_PRG_RPCL: ret = pi_nextrpcl(pi); break;
            case JPC_PRG_PCRL: ret = pi_nextpcrl(pi); break;
            case JPC_PRG_CPRL: ret = pi_nextcprl(pi); break;
            default: break;
            }
        }
        if (ret == 0)
            return 0;
        // With progression changes the tile's packets are exactly those the
        // changes list, as other decoders read them: packets that no change
        // covers are not in the data, and the progression of COD does not
        // follow the last change (bytes after the listed packets would
        // otherwise be misread as packet headers).  Without changes the
        // default change alone runs.
        pi->first = true;
        ++pi->pchgno;
        if (pi->pchgno < pi->pchglist->numpchgs) {
            pi->pchg = pi->pchglist->pchgs[pi->pchgno];
        } else {
            pi->done = true;
            return 1;
        }
    }
}

int pi_init(pi_t* pi)
{
    pi->first = true;
    pi->done = false;
    pi->pchgno = 0;
    pi->pchg = pi->pchglist->numpchgs > 0 ? pi->pchglist->pchgs[0] : &pi->defaultpchg;
    for (picomp_t& c : pi->picomps)
        for (pirlvl_t& l : c.pirlvls)
            std::fill(l.prclyrnos.begin(), l.prclyrnos.end(), 0);
    return pi_next(pi);
}
