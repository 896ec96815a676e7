// Placeholder entry until the request loop lands.
int main() { return 2; }
