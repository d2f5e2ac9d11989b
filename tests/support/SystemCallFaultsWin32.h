// The fault injection of both systems lives in SystemCallFaults.h.
#pragma once

#include <SystemCallFaults.h>
