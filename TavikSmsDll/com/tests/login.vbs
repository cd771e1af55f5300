' One login and logout through TavikSmsDll.TavikSms: the process fetches ip1.ini afresh.
Option Explicit
Dim o
Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "login " & o.Login("demo", "demo1234")
WScript.Echo "logout " & o.Logout()
WScript.Echo "end"
