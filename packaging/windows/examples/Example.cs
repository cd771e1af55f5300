// TavikSmsDll from C#, late-bound (no interop assembly needed):
//   csc Example.cs && Example.exe USER PASSWORD
// A program built for "Any CPU" runs 64-bit on 64-bit Windows and uses x64\TavikSmsDll.dll;
// build with /platform:x86 to use the x86 DLL. Main is marked [STAThread] so the object lives
// on the calling thread; without it COM puts the object in a thread of its own and hands back
// a proxy, which works as well.
using System;
using System.Reflection;

static class Example
{
    static object Call(object target, string method, params object[] args)
    {
        return target.GetType().InvokeMember(method, BindingFlags.InvokeMethod, null, target, args);
    }

    [STAThread]
    static int Main(string[] args)
    {
        if (args.Length < 2)
        {
            Console.WriteLine("usage: Example USER PASSWORD");
            return 2;
        }
        Type type = Type.GetTypeFromProgID("TavikSmsDll.TavikSms", true);
        object sms = Activator.CreateInstance(type);
        try
        {
            string result = (string)Call(sms, "Login", args[0], args[1]);
            Console.WriteLine("Login: " + result);
            if (result != "OK") return 1;
            Console.WriteLine("Balance: " + Call(sms, "SmsJanek"));
            Console.WriteLine("Logout: " + Call(sms, "Logout"));
            return 0;
        }
        catch (TargetInvocationException e) when (e.InnerException is System.Runtime.InteropServices.COMException)
        {
            var com = (System.Runtime.InteropServices.COMException)e.InnerException;
            Console.WriteLine("failed: 0x" + com.ErrorCode.ToString("X8") + " " + com.Message);
            return 1;
        }
        finally
        {
            System.Runtime.InteropServices.Marshal.ReleaseComObject(sms);
        }
    }
}
