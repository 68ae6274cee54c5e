// The records that messages carry. Each knows its wire size and how to move
// its fields, in declared order, to and from little-endian bytes.
#ifndef CORVANE_ARCHIVE_RECORDS_H
#define CORVANE_ARCHIVE_RECORDS_H

#include "archive/Endian.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// A short string: a count byte and at most 255 bytes, no terminator.
using vecChar = std::vector<char>;

struct Pos {
    int16_t x = 0;
    int16_t y = 0;

    static constexpr std::size_t kWireSize = 4;
    void EncodeTo(uint8_t* p) const
    {
        archive_detail::StoreLE(p, x);
        archive_detail::StoreLE(p + 2, y);
    }
    void DecodeFrom(const uint8_t* p)
    {
        x = archive_detail::LoadLE<int16_t>(p);
        y = archive_detail::LoadLE<int16_t>(p + 2);
    }
    template <class Ar>
    void ReadFields(Ar& ar)
    {
        ar >> x >> y;
    }
    friend bool operator==(const Pos&, const Pos&) = default;
};

struct ObjPos {
    uint32_t id = 0;
    uint8_t kind = 0;
    int16_t x = 0;
    int16_t y = 0;

    static constexpr std::size_t kWireSize = 9;
    void EncodeTo(uint8_t* p) const
    {
        archive_detail::StoreLE(p, id);
        p[4] = kind;
        archive_detail::StoreLE(p + 5, x);
        archive_detail::StoreLE(p + 7, y);
    }
    void DecodeFrom(const uint8_t* p)
    {
        id = archive_detail::LoadLE<uint32_t>(p);
        kind = p[4];
        x = archive_detail::LoadLE<int16_t>(p + 5);
        y = archive_detail::LoadLE<int16_t>(p + 7);
    }
    template <class Ar>
    void ReadFields(Ar& ar)
    {
        ar >> id >> kind >> x >> y;
    }
    friend bool operator==(const ObjPos&, const ObjPos&) = default;
};

struct ObjInfo {
    uint32_t id = 0;
    uint8_t kind = 0;
    int16_t attr1 = 0;
    int16_t hp = 0;
    int16_t attr2 = 0;
    int16_t attr3 = 0;
    int16_t range = 0;

    static constexpr std::size_t kWireSize = 15;
    void EncodeTo(uint8_t* p) const
    {
        archive_detail::StoreLE(p, id);
        p[4] = kind;
        archive_detail::StoreLE(p + 5, attr1);
        archive_detail::StoreLE(p + 7, hp);
        archive_detail::StoreLE(p + 9, attr2);
        archive_detail::StoreLE(p + 11, attr3);
        archive_detail::StoreLE(p + 13, range);
    }
    void DecodeFrom(const uint8_t* p)
    {
        id = archive_detail::LoadLE<uint32_t>(p);
        kind = p[4];
        attr1 = archive_detail::LoadLE<int16_t>(p + 5);
        hp = archive_detail::LoadLE<int16_t>(p + 7);
        attr2 = archive_detail::LoadLE<int16_t>(p + 9);
        attr3 = archive_detail::LoadLE<int16_t>(p + 11);
        range = archive_detail::LoadLE<int16_t>(p + 13);
    }
    template <class Ar>
    void ReadFields(Ar& ar)
    {
        ar >> id >> kind >> attr1 >> hp >> attr2 >> attr3 >> range;
    }
    friend bool operator==(const ObjInfo&, const ObjInfo&) = default;
};

struct AttackResult {
    uint32_t id = 0;
    uint8_t kind = 0;
    uint8_t reserved = 0; // always written as 0
    int16_t hp = 0;

    static constexpr std::size_t kWireSize = 8;
    void EncodeTo(uint8_t* p) const
    {
        archive_detail::StoreLE(p, id);
        p[4] = kind;
        p[5] = reserved;
        archive_detail::StoreLE(p + 6, hp);
    }
    void DecodeFrom(const uint8_t* p)
    {
        id = archive_detail::LoadLE<uint32_t>(p);
        kind = p[4];
        reserved = p[5];
        hp = archive_detail::LoadLE<int16_t>(p + 6);
    }
    template <class Ar>
    void ReadFields(Ar& ar)
    {
        ar >> id >> kind >> reserved >> hp;
    }
    friend bool operator==(const AttackResult&, const AttackResult&) = default;
};

struct PlayerPos {
    uint32_t id = 0;
    int16_t x = 0;
    int16_t y = 0;

    static constexpr std::size_t kWireSize = 8;
    void EncodeTo(uint8_t* p) const
    {
        archive_detail::StoreLE(p, id);
        archive_detail::StoreLE(p + 4, x);
        archive_detail::StoreLE(p + 6, y);
    }
    void DecodeFrom(const uint8_t* p)
    {
        id = archive_detail::LoadLE<uint32_t>(p);
        x = archive_detail::LoadLE<int16_t>(p + 4);
        y = archive_detail::LoadLE<int16_t>(p + 6);
    }
    template <class Ar>
    void ReadFields(Ar& ar)
    {
        ar >> id >> x >> y;
    }
    friend bool operator==(const PlayerPos&, const PlayerPos&) = default;
};

#endif
