// Entry of the console converter; the driver lives in cli/Driver.
int main()
{
    return 0;
}
