#pragma once
// One side of a ring of three folders: the include-graph script must see the loop.
#include "middle/Middle.h"
