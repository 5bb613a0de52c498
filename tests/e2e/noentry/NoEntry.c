/* A loadable library that lacks the storage library's entry point. */
int lumo_e2e_not_the_entry_point(void)
{
    return 0;
}
