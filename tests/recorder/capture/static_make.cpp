// A make that is statically linked, as some distributions ship one: the
// recorder's library cannot enter it.  It builds nothing and succeeds.
int main()
{
    return 0;
}
