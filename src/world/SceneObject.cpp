#include "world/SceneObject.h"

#include "world/SceneGrid.h"

namespace {
constexpr int32_t kDownTicks = 5;
constexpr int16_t kHitDamage = 10;
constexpr int16_t kRevivedHp = 100;
} // namespace

void ResetStats(CSceneObject* obj)
{
    obj->attr1 = 5;
    obj->hp = 100;
    obj->attr2 = 10;
    obj->attr3 = 10;
    obj->range = 8;
}

int16_t HpAfterHit(int16_t hp)
{
    const int32_t left = static_cast<int32_t>(hp) - kHitDamage;
    return static_cast<int16_t>(left < 0 ? 0 : left);
}

void CNpcObject::Tick()
{
    if (hp == 0 && deadTicks == 0) {
        deadTicks = 1;
        return;
    }
    if (hp == 0) {
        if (deadTicks < kDownTicks) {
            ++deadTicks;
        } else {
            hp = kRevivedHp;
            deadTicks = 0;
        }
        return;
    }
    moveStep = moveStep % 4;
    CSceneGrid& grid = CSceneGrid::Instance();
    switch (moveStep) {
    case 0:
        grid.MoveTo(objID, static_cast<int16_t>(x + 1), y);
        break;
    case 1:
        grid.MoveTo(objID, x, static_cast<int16_t>(y + 1));
        break;
    case 2:
        grid.MoveTo(objID, static_cast<int16_t>(x - 1), y);
        break;
    case 3:
        grid.MoveTo(objID, x, static_cast<int16_t>(y - 1));
        break;
    default:
        break;
    }
    ++moveStep;
}
