// NUVZubContainers: the ZUB simulation database's exception catalogue and its
// thin layer over the operating system. This header brings every public
// declaration of the library, with the base types a client needs.
#pragma once

#include <NUVBas/NUVBasAtiThreadingModel.h>
#include <NUVBas/NUVBasException.h>
#include <NUVBas/NUVBasShared.h>
#include <NUVBas/NUVString.h>
#include <NUVBas/atr.h>
#include <NUVBas/mem_Alloc.h>

#include <NUVZub/NUVZubCommandLine.h>
#include <NUVZub/NUVZubFileHeaderDiff.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttExceptionString.h>
#include <NUVZub/NUVZubUttFilePathParser.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZub/NUVZubUttInit.h>
#include <NUVZub/NUVZubUttMutex.h>
#include <NUVZub/NUVZubUttOSFile.h>
#include <NUVZub/NUVZubUttResourceMonitor.h>
#include <NUVZub/NUVZubUttSerErrors.h>
#include <NUVZub/NUVZubUttUtils.h>

#include <NUVZub/NUVZubExcCatalogue.h>
#include <NUVZub/NUVZubExcTable.h>

#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubContainersInit.h>
