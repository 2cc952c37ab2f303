// The record types of every extractor family, for the data sources, the
// scan driver and the document writers.
#pragma once

#include "extractors/contacts.h"
#include "extractors/messages.h"
