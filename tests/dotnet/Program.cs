using System;

namespace Varno.Tests;

public static class Program
{
    /// <summary>`open PORT`: the child that opens a port as another user, and prints what it got.</summary>
    public static int Main(string[] args)
    {
        if (args.Length == 2 && args[0] == "open")
        {
            try
            {
                Link.Open(args[1], 38400).Dispose();
                Console.WriteLine("opened");
            }
            catch (Exception e) when (e is PortAccessDeniedException || e is UnauthorizedAccessException)
            {
                Console.WriteLine($"{e.GetType().Name} {((IVarnoException)e).Code}");
            }
            return 0;
        }
        Console.Error.WriteLine("usage: Varno.Tests open PORT");
        return 2;
    }
}
