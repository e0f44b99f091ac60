#include "pin_instances.h"

#include <initializer_list>

namespace {

// A limit counts when the pin names one; a read that failed leaves both
// counts zero and says nothing.
bool LimitReached(const KSPIN_CINSTANCES& limit)
{
    return limit.PossibleCount != 0 && limit.PossibleCount != KSINSTANCE_INDETERMINATE &&
           limit.CurrentCount >= limit.PossibleCount;
}

KsList<CKsPin>& StreamingPins(CKsFilter& filter, StreamDirection direction)
{
    return direction == StreamDirection::Render ? filter.m_RenderSinkPins : filter.m_CaptureSinkPins;
}

template <typename Taken>
bool EveryPinTaken(CKsFilter& filter, StreamDirection direction, Taken taken)
{
    bool any = false;
    for (auto* item = StreamingPins(filter, direction).m_pHead; item; item = item->pNext) {
        if (!taken(*item->pData)) {
            return false;
        }
        any = true;
    }
    return any;
}

}  // namespace

bool AllInstancesTaken(CKsFilter& filter, StreamDirection direction)
{
    return EveryPinTaken(filter, direction, [](const CKsPin& pin) {
        return LimitReached(pin.m_Descriptor.CInstances) || LimitReached(pin.m_Descriptor.GlobalCInstances);
    });
}

bool AllInstancesTakenNow(CKsFilter& filter, StreamDirection direction)
{
    return EveryPinTaken(filter, direction, [&filter](const CKsPin& pin) {
        for (ULONG property : {KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_PIN_GLOBALCINSTANCES}) {
            KSPIN_CINSTANCES counts{};
            if (SUCCEEDED(filter.GetPinPropertySimple(pin.m_nId, property, &counts, sizeof counts)) &&
                LimitReached(counts)) {
                return true;
            }
        }
        return false;
    });
}
