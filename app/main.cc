// Placeholder entry point; replaced by the command-line front end.
int main() { return 1; }
