#ifndef CORVANE_HOST_SVRUSERNOTIFYHANDLER_H
#define CORVANE_HOST_SVRUSERNOTIFYHANDLER_H

#include <corvane/KVServerApi.h>

// Gives a user a record at login; takes the user off the grid and out of
// the registry at logout.
class CSvrUserNotifyHandler final : public IUserNotifyHandler {
public:
    void OnUserLogin(uint32_t userId) override;
    void OnUserLogout(uint32_t userId) override;
};

#endif
