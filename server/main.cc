// Placeholder entry point; replaced by the server's front end.
int main() { return 1; }
