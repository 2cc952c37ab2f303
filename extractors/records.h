// The record types of every extractor family, for the data sources, the
// scan driver and the document writers.
#pragma once

#include "extractors/calendar.h"
#include "extractors/calls.h"
#include "extractors/chat_apps.h"
#include "extractors/contacts.h"
#include "extractors/messages.h"
#include "extractors/notes.h"
#include "extractors/reminders.h"
#include "extractors/safari.h"
#include "extractors/whatsapp.h"
