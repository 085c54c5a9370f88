// Internal interface of the volume library for its own tools (drive index,
// tests): device list, exception frames, cache, volumes, names and files.
#pragma once

#include "drivefs.h"
#include "dfs_runtime.h"
#include "dfs_types.h"
#include "dfs_device.h"
#include "dfs_cache.h"
#include "dfs_diskdriver.h"
#include "dfs_memdriver.h"
#include "dfs_volume.h"
#include "dfs_names.h"
#include "dfs_files.h"
