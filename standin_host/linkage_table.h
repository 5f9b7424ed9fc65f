// The stand-in host's linkage table, handed to a plugin's entry function.
#pragma once

#include "plugin/avisynth_interface.h"

const AVS_Linkage& standInLinkage();
