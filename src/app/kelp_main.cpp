// The kelp command-line tool.
int main() { return 0; }
