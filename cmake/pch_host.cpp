// Hosts the tests' precompiled header; the program itself does nothing.
int main() {
    return 0;
}
