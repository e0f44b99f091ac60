#pragma once

#include "directks.h"
#include "stream_direction.h"

// Whether another program holds a device: every streaming pin of its filter
// in that direction has all its instances taken (KSPROPERTY_PIN_CINSTANCES
// or GLOBALCINSTANCES: CurrentCount has reached PossibleCount). A pin
// without a limit, or whose counts could not be read, counts as free; a
// filter without streaming pins is not busy.
//
// As the pins reported their counts when the filter was enumerated:
bool AllInstancesTaken(CKsFilter& filter, StreamDirection direction);
// Asked of the driver again now:
bool AllInstancesTakenNow(CKsFilter& filter, StreamDirection direction);
