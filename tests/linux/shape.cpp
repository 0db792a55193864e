// A small library of the Linux suite whose data begins in its file's first
// page: the loader maps that page again for its data segment, at offset 0,
// as it does for small files and for what lld links by default. Its .bss
// lies past the file.
namespace {
int data = 1;
char buffer[64 << 10];
}  // namespace

extern "C" int ShapeTouch() { return data + buffer[0]; }
