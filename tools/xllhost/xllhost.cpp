// PLACEHOLDER: the Excel stand-in host is being written.
int main() { return 2; }
