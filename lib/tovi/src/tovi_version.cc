// Placeholder translation unit so the library exists before its modules.
namespace {
[[maybe_unused]] const char tovi_build_tag[] = "tovi";
}
