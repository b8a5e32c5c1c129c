// The package record, read by the package tools: magic, version 1, the
// package name, the second text field, and the empty string that ends it.
namespace {

[[gnu::used, gnu::section(".zylos.pkgmeta"), gnu::aligned(4)]]
const char g_pkgmeta_0[17] = "ZPKG\x01\0\0\0"
                             "drape\0"
                             "2\0";

} // namespace
