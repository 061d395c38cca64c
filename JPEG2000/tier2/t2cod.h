// Packet iterator: the order in which the packets of a tile follow each
// other (T.800 B.12), for the five progression orders and the progression
// changes of POC marker segments.
#ifndef JPEG2000_T2COD_H
#define JPEG2000_T2COD_H

#include "codestream/jpc.h"

#include <cstdint>
#include <vector>


// One progression change (the fields of a POC entry).
struct pchg_t {
    int prgord = 0;       // Ppoc
    int rlvlnostart = 0;  // RSpoc
    int rlvlnoend = 0;    // REpoc (exclusive)
    int compnostart = 0;  // CSpoc
    int compnoend = 0;    // CEpoc (exclusive)
    int lyrnoend = 0;     // LYEpoc (exclusive)
};

struct pchglist_t {
    int numpchgs = 0;
    std::vector<pchg_t*> pchgs;  // owned
};

pchg_t* pchg_copy(const pchg_t* pchg);
void pchg_destroy(pchg_t* pchg);

pchglist_t* pchglist_create();
// Takes ownership of pchg; pchgno -1 appends.  0 or -1.
int pchglist_insert(pchglist_t* list, int pchgno, pchg_t* pchg);
// Removes and returns the change at pchgno (the caller then owns it).
pchg_t* pchglist_remove(pchglist_t* list, int pchgno);
pchglist_t* pchglist_copy(const pchglist_t* list);
pchg_t* pchglist_get(const pchglist_t* list, int pchgno);
int pchglist_numpchgs(const pchglist_t* list);
void pchglist_destroy(pchglist_t* list);

// Per resolution level of one component.
struct pirlvl_t {
    int numprcs = 0;
    std::vector<int> prclyrnos;  // per precinct: the next layer not yet produced
    int prcwidthexpn = 15;
    int prcheightexpn = 15;
    int numhprcs = 0;            // precincts across
};

struct picomp_t {
    int numrlvls = 0;
    std::vector<pirlvl_t> pirlvls;
    int hsamp = 1;
    int vsamp = 1;
};

struct pi_t {
    int numlyrs = 0;
    int maxrlvls = 0;  // largest numrlvls over the components
    int numcomps = 0;
    std::vector<picomp_t> picomps;

    // Position: the packet named after a successful pi_next.
    picomp_t* picomp = nullptr;
    pirlvl_t* pirlvl = nullptr;
    int compno = 0;
    int rlvlno = 0;
    int prcno = 0;
    int lyrno = 0;
    int64_t x = 0, y = 0;
    int64_t xstep = 0, ystep = 0;
    // The tile on the reference grid.
    int64_t xstart = 0, ystart = 0, xend = 0, yend = 0;

    pchg_t* pchg = nullptr;  // the change in force
    pchglist_t* pchglist = nullptr;
    pchg_t defaultpchg;  // the progression of COD, used when the list is empty
    int pchgno = 0;
    bool first = true;
    bool done = false;  // no packet left
};

// An empty iterator; the caller fills numcomps, picomps, the tile bounds,
// numlyrs, maxrlvls and defaultpchg, then adds changes and calls pi_init.
pi_t* pi_create();
void pi_destroy(pi_t* pi);
// Appends a copy of pchg.  0 or -1.
int pi_addpchg(pi_t* pi, const pchg_t* pchg);
// Restarts the iteration and moves to the first packet: 0 when there is
// one, 1 when the tile has no packets.
int pi_init(pi_t* pi);
// 0 when the position names the next packet, 1 when there are no more.
int pi_next(pi_t* pi);

#endif
