#include "contract_host.h"

#include <algorithm>

ContractHost::ContractHost(IASIO* driver) : CAsioHostSession(driver)
{
    TakeSelectors({kAsioSupportsTimeInfo, kAsioResetRequest});
    KeepSwitches(kMaxSwitches);
    SetSwitchHook([this](long index, const ASIOTime*) {
        if (onBufferSwitch) {
            onBufferSwitch(index);
        } else if (index == 0 || index == 1) {
            FillOutputs(index);
        }
    });
    SetResetHook([this] {
        if (onResetRequest) {
            onResetRequest();
        }
    });
}

ASIOError ContractHost::Start(const std::vector<int16_t>& outputValues)
{
    m_outputValues = outputValues;
    m_outputValues.resize(OutputCount(), 0);
    FillOutputs(0);
    FillOutputs(1);
    return CAsioHostSession::Start();
}

void ContractHost::FillOutputs(long index)
{
    for (size_t b = 0; b < OutputCount() && b < m_outputValues.size(); ++b) {
        if (int16_t* half = OutputHalf(b, index)) {
            std::fill(half, half + BufferSize(), m_outputValues[b]);
        }
    }
}

long ContractHost::CallbacksOver(DWORD ms) const
{
    const long before = Callbacks();
    Sleep(ms);
    return Callbacks() - before;
}

bool ContractHost::WaitForResetRequests(long count, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (ResetRequests() < count) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(5);
    }
    return true;
}
