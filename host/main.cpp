// host/main.cpp: placeholder entry so the platform branch links; the host owns the real one.
int main() { return 1; }
