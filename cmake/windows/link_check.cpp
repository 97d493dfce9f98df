// Entry point of the Windows link check; the libraries' objects are linked whole.
int main() { return 0; }
