// The free-block index: beside each class's address-ordered free list, a
// search tree over the same free blocks, keyed by address, each node holding
// the largest free size below it. It finds in logarithmic time the block that
// a walk of the list would choose (first fit from the low end or from the
// high end, or the largest) and the free block that a new one follows.
//
// The tree is a treap whose priorities are a hash of the link word of the
// block a node was made for, so the same frees and allocations always give
// the same shape; a node keeps its priority when a split or a merge puts
// another block in its place. Its nodes sit in a page run of their own per
// class, found by node number (0 is none), so that the run can move when it
// grows. When a run cannot be had the class's index goes off and the list is
// walked instead, until a later allocation manages to build the index again.
#include <string.h>

#include "cmn/memblock.h"
#include "vorl/pagemem.h"

struct MEMINDEXNODE {
    uint32_t block;     // the free block's header as a link word (ordered like addresses)
    int32_t size;       // its size
    int32_t largest;    // the largest size in this node's subtree
    uint32_t priority;  // set when the node is made, kept when its block is replaced
    uint32_t left;
    uint32_t right;
};

// Deeper than a treap of any class's free blocks gets but with a chance too
// small to matter; an index found that deep is dropped and built again.
#define INDEX_MAXDEPTH 128

// A way down the tree, root first, to the node found.
struct INDEXPATH {
    uint32_t nodes[INDEX_MAXDEPTH];
    int32_t depth;  // 0: no way known
};

struct MEMINDEX {
    MEMINDEXNODE* nodes;  // page run; nodes[0] is the empty tree, largest -1
    uint32_t capacity;
    uint32_t used;   // nodes handed out so far, node 0 included
    uint32_t spare;  // released nodes, chained through left
    uint32_t root;
    uint32_t count;
    bool on;
    // The way to the block the last choice found, which the allocation
    // then takes or splits: the second change needs no second search.
    INDEXPATH chosen;
};

static_assert(sizeof(MEMINDEXNODE) == 24, "an index node costs 24 bytes per free block");

// One index per class number, as the record's flags name it (the heap's
// second slot shares the first's record, flags and index).
static MEMINDEX MEMINDEX_table[MEMCLASS_MAX];

static MEMINDEX& INDEX_of(const MEMCLASS* cls) { return MEMINDEX_table[CLASS_flags(cls) & MB_CLASSMASK]; }

static uint32_t INDEX_priority(uint32_t key)
{
    key ^= key >> 16;
    key *= 0x85EBCA6Bu;
    key ^= key >> 13;
    key *= 0xC2B2AE35u;
    return key ^ (key >> 16);
}

static void INDEX_fix(MEMINDEXNODE* n, uint32_t t)
{
    int32_t largest = n[t].size;
    if (n[n[t].left].largest > largest)
        largest = n[n[t].left].largest;
    if (n[n[t].right].largest > largest)
        largest = n[n[t].right].largest;
    n[t].largest = largest;
}

// Splits subtree t into the keys below key (*low) and the others (*high).
static void INDEX_split(MEMINDEXNODE* n, uint32_t t, uint32_t key, uint32_t* low, uint32_t* high)
{
    if (!t) {
        *low = *high = 0;
    } else if (n[t].block < key) {
        INDEX_split(n, n[t].right, key, &n[t].right, high);
        *low = t;
        INDEX_fix(n, t);
    } else {
        INDEX_split(n, n[t].left, key, low, &n[t].left);
        *high = t;
        INDEX_fix(n, t);
    }
}

// Joins two subtrees whose keys are all lower in a than in b.
static uint32_t INDEX_merge(MEMINDEXNODE* n, uint32_t a, uint32_t b)
{
    if (!a || !b)
        return a ? a : b;
    if (n[a].priority > n[b].priority) {
        n[a].right = INDEX_merge(n, n[a].right, b);
        INDEX_fix(n, a);
        return a;
    }
    n[b].left = INDEX_merge(n, a, n[b].left);
    INDEX_fix(n, b);
    return b;
}

static void INDEX_release(MEMINDEX& index)
{
    if (index.nodes)
        PAGE_free(index.nodes);
    memset(&index, 0, sizeof index);
}

// A free node, growing the run (twice the size, nodes copied) when it is
// full; 0 when no run can be had.
static uint32_t INDEX_newnode(MEMINDEX& index)
{
    if (index.spare) {
        uint32_t t = index.spare;
        index.spare = index.nodes[t].left;
        return t;
    }
    if (index.used == index.capacity) {
        int64_t wanted = 2 * static_cast<int64_t>(index.capacity ? index.capacity : 100) * sizeof(MEMINDEXNODE);
        int32_t bytes = wanted > INT32_MAX ? 0 : static_cast<int32_t>(wanted);
        auto* grown = bytes ? static_cast<MEMINDEXNODE*>(PAGE_alloc(&bytes)) : nullptr;
        if (!grown)
            return 0;
        if (index.nodes) {
            memcpy(grown, index.nodes, index.used * sizeof(MEMINDEXNODE));
            PAGE_free(index.nodes);
        } else {
            grown[0] = {0, -1, -1, 0, 0, 0};
            index.used = 1;
        }
        index.nodes = grown;
        index.capacity = static_cast<uint32_t>(bytes / static_cast<int32_t>(sizeof(MEMINDEXNODE)));
    }
    return index.used++;
}

// Enters a node for the free block key of size bytes: down the tree while
// the nodes met outrank it, raising their largest sizes on the way, then the
// subtree found is split under the new node. Returns the node of the free
// block it follows (0 when none), or -1 when no node can be had.
static int64_t INDEX_add(MEMINDEX& index, uint32_t key, int32_t size)
{
    uint32_t x = INDEX_newnode(index);
    if (!x)
        return -1;
    MEMINDEXNODE* n = index.nodes;
    n[x] = {key, size, size, INDEX_priority(key), 0, 0};
    uint32_t* link = &index.root;
    uint32_t before = 0;
    while (*link && n[*link].priority >= n[x].priority) {
        uint32_t t = *link;
        if (n[t].largest < size)
            n[t].largest = size;
        if (n[t].block < key) {
            before = t;
            link = &n[t].right;
        } else {
            link = &n[t].left;
        }
    }
    INDEX_split(n, *link, key, &n[x].left, &n[x].right);
    INDEX_fix(n, x);
    *link = x;
    for (uint32_t t = n[x].left; t; t = n[t].right)
        before = t;
    index.count++;
    index.chosen.depth = 0;
    return before;
}

// Builds the index of a class from its free list.
static bool INDEX_build(const MEMCLASS* cls, MEMINDEX& index)
{
    INDEX_release(index);
    uint8_t* base = CLASS_base(cls);
    uint8_t* head = CLASS_head(cls);
    for (uint8_t* node = BLOCK_nextfree(base, head); node != head; node = BLOCK_nextfree(base, node))
        if (INDEX_add(index, LINK_encode(base, node), BLOCK_size(node)) < 0) {
            INDEX_release(index);
            return false;
        }
    index.on = true;
    return true;
}

void MEMINDEX_start(const MEMCLASS* cls)
{
    MEMINDEX& index = INDEX_of(cls);
    INDEX_release(index);
    index.on = true;
}

void MEMINDEX_end(const MEMCLASS* cls) { INDEX_release(INDEX_of(cls)); }

uint8_t* MEMINDEX_before(const MEMCLASS* cls, uint8_t* block, int32_t size)
{
    MEMINDEX& index = INDEX_of(cls);
    uint8_t* base = CLASS_base(cls);
    if (!index.on)
        return nullptr;
    int64_t before = INDEX_add(index, LINK_encode(base, block), size);
    if (before < 0) {
        INDEX_release(index);
        return nullptr;
    }
    return before ? LINK_decode(base, index.nodes[before].block) : CLASS_head(cls);
}

// The way down to the node of key: the one the last choice found (which it
// uses up), or a search written to local. Null when the key is not there or
// lies too deep; the index is then dropped, and the list is trusted until it
// is built again.
static const INDEXPATH* INDEX_find(MEMINDEX& index, uint32_t key, INDEXPATH* local)
{
    const MEMINDEXNODE* n = index.nodes;
    int32_t depth = index.chosen.depth;
    index.chosen.depth = 0;
    if (depth && n[index.chosen.nodes[depth - 1]].block == key) {
        index.chosen.depth = depth;
        return &index.chosen;
    }
    local->depth = 0;
    for (uint32_t t = index.root; t && local->depth < INDEX_MAXDEPTH; t = key < n[t].block ? n[t].left : n[t].right) {
        local->nodes[local->depth++] = t;
        if (n[t].block == key)
            return local;
    }
    INDEX_release(index);
    return nullptr;
}

// Makes the node at path position at refer to child where it referred to
// the next node of the path (the root when at is -1), then fixes the
// largest sizes from there up.
static void INDEX_relink(MEMINDEX& index, const INDEXPATH& path, int32_t at, uint32_t child)
{
    MEMINDEXNODE* n = index.nodes;
    if (at < 0)
        index.root = child;
    else if (n[path.nodes[at]].left == path.nodes[at + 1])
        n[path.nodes[at]].left = child;
    else
        n[path.nodes[at]].right = child;
    for (; at >= 0; at--)
        INDEX_fix(n, path.nodes[at]);
}

void MEMINDEX_remove(const MEMCLASS* cls, uint8_t* block)
{
    MEMINDEX& index = INDEX_of(cls);
    INDEXPATH local;
    const INDEXPATH* path = index.on ? INDEX_find(index, LINK_encode(CLASS_base(cls), block), &local) : nullptr;
    if (!path)
        return;
    uint32_t x = path->nodes[path->depth - 1];
    INDEX_relink(index, *path, path->depth - 2, INDEX_merge(index.nodes, index.nodes[x].left, index.nodes[x].right));
    index.nodes[x].left = index.spare;
    index.spare = x;
    index.count--;
    index.chosen.depth = 0;
}

void MEMINDEX_replace(const MEMCLASS* cls, uint8_t* old, uint8_t* block, int32_t size)
{
    MEMINDEX& index = INDEX_of(cls);
    uint8_t* base = CLASS_base(cls);
    INDEXPATH local;
    const INDEXPATH* path = index.on ? INDEX_find(index, LINK_encode(base, old), &local) : nullptr;
    if (!path)
        return;
    uint32_t x = path->nodes[path->depth - 1];
    index.nodes[x].block = LINK_encode(base, block);
    index.nodes[x].size = size;
    for (int32_t at = path->depth - 1; at >= 0; at--)
        INDEX_fix(index.nodes, path->nodes[at]);
    index.chosen.depth = 0;
}

// The lowest (or with high the highest) node of at least need, and the way
// down to it; INDEX_TOODEEP when that way is longer than a path holds.
#define INDEX_TOODEEP 0xFFFFFFFFu
static uint32_t INDEX_firstfit(const MEMINDEXNODE* n, uint32_t t, int64_t need, bool high, INDEXPATH* path)
{
    path->depth = 0;
    while (t && n[t].largest >= need) {
        if (path->depth == INDEX_MAXDEPTH)
            return INDEX_TOODEEP;
        path->nodes[path->depth++] = t;
        uint32_t nearer = high ? n[t].right : n[t].left;
        if (n[nearer].largest >= need)
            t = nearer;
        else if (n[t].size >= need)
            return t;
        else
            t = high ? n[t].left : n[t].right;
    }
    path->depth = 0;
    return 0;
}

bool MEMINDEX_choose(const MEMCLASS* cls, int64_t need, uint32_t type, uint8_t** chosen)
{
    MEMINDEX& index = INDEX_of(cls);
    if (!index.on && !INDEX_build(cls, index))
        return false;
    const MEMINDEXNODE* n = index.nodes;
    *chosen = nullptr;
    if (!n)
        return true;  // built from an empty list
    if (type & MB_LARGEST)
        need = n[index.root].largest < need ? INT64_MAX : n[index.root].largest;
    uint32_t t = INDEX_firstfit(n, index.root, need, (type & MB_HIGH) != 0, &index.chosen);
    if (t == INDEX_TOODEEP) {
        INDEX_release(index);
        return false;
    }
    if (t)
        *chosen = LINK_decode(CLASS_base(cls), n[t].block);
    return true;
}

int32_t MEMINDEX_largest(const MEMCLASS* cls)
{
    const MEMINDEX& index = INDEX_of(cls);
    if (!index.on)
        return -1;
    return index.root ? index.nodes[index.root].largest : 0;
}

// In order, in step with the free list from *expected: each node must be
// the list's next block, with its size, and hold its subtree's largest
// size; steps counts nodes so that a cycle cannot run for ever.
static bool INDEX_agrees(const MEMINDEX& index, uint8_t* base, uint32_t t, uint8_t** expected, uint32_t* steps)
{
    if (!t)
        return true;
    if (t >= index.used || ++*steps > index.count)
        return false;
    const MEMINDEXNODE& node = index.nodes[t];
    if (node.left >= index.used || node.right >= index.used)
        return false;
    if (!INDEX_agrees(index, base, node.left, expected, steps))
        return false;
    if (LINK_decode(base, node.block) != *expected || node.size != BLOCK_size(*expected))
        return false;
    int32_t largest = node.size;
    if (index.nodes[node.left].largest > largest)
        largest = index.nodes[node.left].largest;
    if (index.nodes[node.right].largest > largest)
        largest = index.nodes[node.right].largest;
    if (node.largest != largest)
        return false;
    *expected = BLOCK_nextfree(base, *expected);
    return INDEX_agrees(index, base, node.right, expected, steps);
}

bool MEMINDEX_check(const MEMCLASS* cls)
{
    const MEMINDEX& index = INDEX_of(cls);
    if (!index.on)
        return true;
    uint8_t* base = CLASS_base(cls);
    uint8_t* head = CLASS_head(cls);
    uint8_t* expected = BLOCK_nextfree(base, head);
    uint32_t steps = 0;
    return INDEX_agrees(index, base, index.root, &expected, &steps) && expected == head && steps == index.count;
}
