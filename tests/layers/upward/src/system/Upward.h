// A header of the lowest layers that reaches up into the engine.
#pragma once
#include "engine/Main.h"
