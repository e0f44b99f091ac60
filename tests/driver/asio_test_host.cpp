#include "asio_test_host.h"

AsioTestHost::AsioTestHost(IASIO* driver) : CAsioHostSession(driver)
{
    TakeSelectors({kAsioSupportsTimeInfo, kAsioResetRequest, kAsioLatenciesChanged});
    KeepSwitches(kMaxSwitches);
    SetSwitchHook([this](long index, const ASIOTime*) {
        if (onBufferSwitch) {
            onBufferSwitch(index);
        }
    });
}
