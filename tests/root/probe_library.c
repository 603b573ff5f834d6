/* A shared library with one function, for the library search tests. */
int vornak2_root_probe(void) { return 1; }
