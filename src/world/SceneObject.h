// The records of world objects: users and server-driven objects.
#ifndef CORVANE_WORLD_SCENEOBJECT_H
#define CORVANE_WORLD_SCENEOBJECT_H

#include "world/ObjID.h"

#include <cstdint>

class CSceneObject {
public:
    explicit CSceneObject(const ObjID& key) : objID(key) {}

    bool HasPos() const { return !(x == -1 && y == -1); }

    ObjID objID;
    int16_t x = -1; // (-1, -1): not on the grid yet
    int16_t y = -1;
    int16_t attr1 = 0;
    int16_t hp = 0; // 0: down
    int16_t attr2 = 0;
    int16_t attr3 = 0; // area attacks only while above 0
    int16_t range = 0; // radius of this object's area attack
};

// Defaults 5, 100, 10, 10, 8; the position is left alone.
void ResetStats(CSceneObject* obj);

// Hit points after one hit: 10 less, never below 0.
int16_t HpAfterHit(int16_t hp);

class CNpcObject : public CSceneObject {
public:
    explicit CNpcObject(const ObjID& key) : CSceneObject(key) {}

    // One patrol step, or one tick of lying down while hp is 0.
    void Tick();

    int32_t deadTicks = 0;
    int32_t moveStep = 0;
};

#endif
