#if !NET5_0_OR_GREATER
namespace System.Runtime.CompilerServices
{
    // Records' init accessors need this type; netstandard2.0 lacks it.
    internal static class IsExternalInit
    {
    }
}
#endif
