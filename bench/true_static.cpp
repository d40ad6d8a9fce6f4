// The program the exec class runs: static, so that an execution costs one
// trapped execve and no loader opens.
int main() {
    return 0;
}
