// The key of every world object.
#ifndef CORVANE_WORLD_OBJID_H
#define CORVANE_WORLD_OBJID_H

#include <cstdint>

enum : uint8_t {
    kKindUser = 0,
    kKindNpc = 1,
};

struct ObjID {
    uint32_t id;
    uint8_t kind;

    ObjID(uint32_t objId, uint8_t objKind) : id(objId), kind(objKind) {}
    ~ObjID() = default; // trivial, so vectors of keys copy as plain bytes

    // By id, then kind: a user and a server-driven object may share an id.
    friend bool operator<(const ObjID& a, const ObjID& b)
    {
        return a.id != b.id ? a.id < b.id : a.kind < b.kind;
    }
    friend bool operator==(const ObjID& a, const ObjID& b) { return a.id == b.id && a.kind == b.kind; }
};

#endif
