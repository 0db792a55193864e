// A small library of the Linux suite with a large .bss: 8 MiB of zeroes that
// the loader maps past the end of the file, anonymously.
namespace {
char buffer[8 << 20];
}

extern "C" char* BigBssBuffer() { return buffer; }
