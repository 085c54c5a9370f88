// Internal interface of the volume library for its own tools (drive index,
// tests): device list, exception frames, cache, partitions and mounts,
// chains, names, paths and files.
#pragma once

#include "drivefs.h"
#include "dfs_runtime.h"
#include "dfs_layout.h"
#include "dfs_types.h"
#include "dfs_device.h"
#include "dfs_cache.h"
#include "dfs_diskdriver.h"
#include "dfs_partitions.h"
#include "dfs_mount.h"
#include "dfs_drives.h"
#include "dfs_chains.h"
#include "dfs_codepage.h"
#include "dfs_fatnames.h"
#include "dfs_paths.h"
#include "dfs_exfatdir.h"
#include "dfs_files.h"
