/* One library of the pool that the module-heavy case loads: the script copies
 * it under many names, each copy a file of its own. Code, read-only data and
 * writable data, so that each copy is mapped as a real library is. */
const char poolmodule_name[] = "poolmodule";
int poolmodule_calls;

int poolmodule_call(void) {
  return ++poolmodule_calls + (int)sizeof poolmodule_name;
}
