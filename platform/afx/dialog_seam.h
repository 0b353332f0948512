// What the framework layer takes from the dialog manager, the controls and the message box of
// the window-framework stand-in.
#pragma once

#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
