// Placeholder.
int main() { return 1; }
