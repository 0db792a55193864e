/* One library of the pool that the module-heavy case loads: the script copies
 * it under many names, each copy a file of its own. Code, read-only data,
 * writable data and a .bss that goes on past the file's last page, so that
 * each copy is mapped as a real library such as libc is, and procreport reads
 * the program headers of every one. */
const char poolmodule_name[] = "poolmodule";
char poolmodule_buffer[65536];

int poolmodule_call(void) {
  return ++poolmodule_buffer[0] + (int)sizeof poolmodule_name;
}
