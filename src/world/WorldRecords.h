// Lookups shared by the game logic and the periodic tick.
#ifndef CORVANE_WORLD_WORLDRECORDS_H
#define CORVANE_WORLD_WORLDRECORDS_H

#include "archive/Records.h"
#include "world/SceneObject.h"

#include <cstdint>
#include <vector>

// The record behind a key: a user's from the user registry, a server-driven
// object's own record; null when none is registered. Never creates.
CSceneObject* FindWorldRecord(const ObjID& key);

// The ids of the users among poses, in order.
std::vector<uint32_t> UserIdsOf(const std::vector<ObjPos>& poses);

#endif
