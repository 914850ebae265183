// A .NET host of the TallyScope DLL: P/Invoke declarations of the three exports and a program that
// reports an application start, an action and the machine's description, then stops.
//
// The exports use the standard calling convention (__stdcall, which is what x86 needs and x64
// ignores), take NUL-terminated 8-bit strings and return an unsigned char (1 success, 0 failure).
// A 64-bit process loads tallyscope64.dll and a 32-bit one tallyscope.dll, so each export is
// declared once per DLL and the wrapper picks by pointer size. Build for one size, e.g.
//   mcs -platform:x64 -out:TallyScopeExample64.exe TallyScopeExample.cs
//   mcs -platform:x86 -out:TallyScopeExample32.exe TallyScopeExample.cs
// (csc takes the same options) and run it beside the DLL of that size.
using System;
using System.Runtime.InteropServices;

namespace TallyScope
{
    public static class Tally
    {
        const CallingConvention Convention = CallingConvention.StdCall;

        // ExactSpelling: the DLL exports the plain names, so the runtime must not look for an "A"
        // suffix or a decorated _Name@N. Ansi strings are what the DLL reads; a character the
        // code page cannot hold throws instead of being sent as a best-fit look-alike.
        [DllImport("tallyscope64.dll", EntryPoint = "SetAppInfo", CallingConvention = Convention, CharSet = CharSet.Ansi,
                   ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        static extern byte SetAppInfo64(string appKey, string channelId);

        [DllImport("tallyscope64.dll", EntryPoint = "ReportAppEvent", CallingConvention = Convention,
                   CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        static extern byte ReportAppEvent64(string eventName, string eventContent, int flushNow);

        [DllImport("tallyscope64.dll", EntryPoint = "StopTallyscope", CallingConvention = Convention, ExactSpelling = true)]
        static extern void StopTallyscope64();

        [DllImport("tallyscope.dll", EntryPoint = "SetAppInfo", CallingConvention = Convention, CharSet = CharSet.Ansi,
                   ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        static extern byte SetAppInfo32(string appKey, string channelId);

        [DllImport("tallyscope.dll", EntryPoint = "ReportAppEvent", CallingConvention = Convention,
                   CharSet = CharSet.Ansi, ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        static extern byte ReportAppEvent32(string eventName, string eventContent, int flushNow);

        [DllImport("tallyscope.dll", EntryPoint = "StopTallyscope", CallingConvention = Convention, ExactSpelling = true)]
        static extern void StopTallyscope32();

        static bool Is64 { get { return IntPtr.Size == 8; } }

        // channelId may be null.
        public static bool SetAppInfo(string appKey, string channelId)
        {
            return (Is64 ? SetAppInfo64(appKey, channelId) : SetAppInfo32(appKey, channelId)) == 1;
        }

        // eventContent may be null; flushNow posts at once instead of at the next 3-second tick.
        public static bool ReportAppEvent(string eventName, string eventContent, bool flushNow)
        {
            int flush = flushNow ? 1 : 0;
            return (Is64 ? ReportAppEvent64(eventName, eventContent, flush)
                         : ReportAppEvent32(eventName, eventContent, flush)) == 1;
        }

        // Posts what is still queued, then stops; call it before the process exits.
        public static void StopTallyscope()
        {
            if (Is64) StopTallyscope64();
            else StopTallyscope32();
        }
    }

    static class Example
    {
        static int Main(string[] args)
        {
            string appKey = args.Length > 0 ? args[0] : "demo-app-key";
            string channel = args.Length > 1 ? args[1] : "demo-channel";
            bool started = Tally.SetAppInfo(appKey, channel);
            Console.WriteLine("csharp example: {0}-bit, SetAppInfo -> {1}", IntPtr.Size * 8, started);
            Console.WriteLine("csharp example: app_start -> {0}", Tally.ReportAppEvent("app_start", null, true));
            Console.WriteLine("csharp example: export_pdf -> {0}", Tally.ReportAppEvent("export_pdf", "2 pages", false));
            Console.WriteLine("csharp example: app_device_info -> {0}", Tally.ReportAppEvent("app_device_info", null, false));
            Tally.StopTallyscope();
            Console.WriteLine("csharp example: StopTallyscope returned");
            return started ? 0 : 1;
        }
    }
}
