int main(int, char**) { return 1; }
