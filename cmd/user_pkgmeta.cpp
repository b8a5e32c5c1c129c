// The package record of drape, read by the package tools.
#include <zylos/records.h>

ZYLOS_PACKAGE_RECORD(g_pkgmeta_0, "drape", "2");
