// Placeholder translation unit so the library exists before its modules.
namespace {
[[maybe_unused]] const char plat_build_tag[] = "toviplat";
}
