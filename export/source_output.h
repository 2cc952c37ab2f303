// The recovery's view of a data source: its file copy and its two row dumps.
#pragma once

#include "export/recovery.h"
#include "sources/recovery_source.h"

namespace orbanix {

// Binds the recovery to a data source that outlives the returned object.
RecoveryOutputSource OutputSourceOf(IPhoneRecoveryParse& source);

}  // namespace orbanix
