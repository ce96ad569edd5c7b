/* A shared library with nothing in it: something real for the host to load and keep. */
int vt_test_empty_plugin_marker = 1;
