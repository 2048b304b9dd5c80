using System;
using System.Diagnostics;
using System.IO;
using System.IO.Compression;
using System.Linq;
using System.Text.RegularExpressions;
using Xunit;

namespace Varno.Tests;

/// <summary>The package as a user gets it: packed, restored from a folder, built and run.</summary>
public class PackageTests
{
    [Fact]
    public void AConsumerRestoresThePackageFromAFolderAndTransacts()
    {
        string scratch = Directory.CreateTempSubdirectory("varno-nuget-").FullName;
        try
        {
            string version = Regex.Match(File.ReadAllText(Path.Combine(Build.Root, "CMakeLists.txt")),
                                         @"project\(VarnoDLL VERSION ([0-9.]+)").Groups[1].Value;
            string feed = Path.Combine(scratch, "feed");
            // Only the Linux library is at hand here; scripts/package.sh packs all three.
            Run(Build.Root, "pack", "dotnet/Varno", "-nologo", "-c", "Release", "-o", feed, "--disable-build-servers",
                $"-p:VarnoBuildDir={scratch}/build", $"-p:VarnoNativeLinuxX64={Build.Library}",
                "-p:VarnoAllowMissingNative=true");
            string package = Path.Combine(feed, $"Varno.{version}.nupkg");
            using (ZipArchive zip = ZipFile.OpenRead(package))
            {
                var names = zip.Entries.Select(e => e.FullName).ToHashSet();
                Assert.Superset(new[] {
                    "lib/netstandard2.0/Varno.dll", "lib/netstandard2.0/Varno.xml", "lib/net8.0/Varno.dll",
                    "lib/net8.0/Varno.xml", "runtimes/linux-x64/native/libVarnoDLL.so",
                    "build/net462/Varno.targets", "buildTransitive/net462/Varno.targets", "README.md" }.ToHashSet(), names);
            }

            // A project of a user's: the folder its only source (and the machine's package cache,
            // for the logging abstractions), its own packages folder so that the package is the
            // one just made.
            string consumer = Path.Combine(scratch, "consumer");
            Directory.CreateDirectory(consumer);
            string cache = Environment.GetEnvironmentVariable("NUGET_PACKAGES") is { Length: > 0 } c
                ? c : Path.Combine(Environment.GetFolderPath(Environment.SpecialFolder.UserProfile), ".nuget", "packages");
            File.WriteAllText(Path.Combine(consumer, "nuget.config"), $"""
                <?xml version="1.0" encoding="utf-8"?>
                <configuration>
                  <packageSources>
                    <clear />
                    <add key="varno" value="{feed}" />
                    <add key="cache" value="{cache}" />
                  </packageSources>
                </configuration>
                """);
            File.WriteAllText(Path.Combine(consumer, "Consumer.csproj"), $"""
                <Project Sdk="Microsoft.NET.Sdk">
                  <PropertyGroup>
                    <OutputType>Exe</OutputType>
                    <TargetFramework>net10.0</TargetFramework>
                    <Nullable>enable</Nullable>
                    <TreatWarningsAsErrors>true</TreatWarningsAsErrors>
                    <RestorePackagesPath>{scratch}/packages</RestorePackagesPath>
                  </PropertyGroup>
                  <ItemGroup>
                    <PackageReference Include="Varno" Version="{version}" />
                  </ItemGroup>
                </Project>
                """);
            File.WriteAllText(Path.Combine(consumer, "Program.cs"), """
                using System;
                using Varno;
                using var link = Link.Open(args[0], 38400);
                Reply reply = link.Transact(dest: 1, code: 3, data: Data.FromDecimal(21.5, 1), replyTimeout: TimeSpan.FromSeconds(3));
                Console.WriteLine($"{Diagnostics.LibraryVersion} {reply.Source} {reply.Code} {reply.Data.Decimal}");
                """);
            // Its own directory: no Directory.Build.props of this tree above it.
            Run(consumer, "build", "-nologo", "--disable-build-servers", "-o", Path.Combine(consumer, "out"));
            using var sim = new Simulator("1");
            string output = Run(consumer, "exec", Path.Combine(consumer, "out", "Consumer.dll"), sim.Path);
            Assert.Equal($"{version} 1 3 21.5", output.Trim());
        }
        finally
        {
            Directory.Delete(scratch, recursive: true);
        }
    }

    /// <summary>Runs the dotnet command in `directory` (without the tests' VARNO_LIBRARY, as a user
    /// would) and gives its standard output; fails the test with all it said if it fails.</summary>
    private static string Run(string directory, params string[] args)
    {
        var info = new ProcessStartInfo(Environment.ProcessPath!, args)
        {
            WorkingDirectory = directory,
            RedirectStandardOutput = true,
            RedirectStandardError = true,
        };
        info.Environment.Remove("VARNO_LIBRARY");
        info.Environment["DOTNET_CLI_TELEMETRY_OPTOUT"] = "1";
        info.Environment["DOTNET_NOLOGO"] = "1";
        using var process = Process.Start(info)!;
        var error = process.StandardError.ReadToEndAsync();
        string output = process.StandardOutput.ReadToEnd();
        Assert.True(process.WaitForExit(300_000), $"dotnet {string.Join(' ', args)}: no end in 5 minutes");
        Assert.True(process.ExitCode == 0, $"dotnet {string.Join(' ', args)} exited {process.ExitCode}:\n{output}\n{error.Result}");
        return output;
    }
}
