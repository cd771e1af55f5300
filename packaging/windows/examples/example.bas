' TavikSmsDll from VBA (Excel, Access, Word): paste into a module and run ShowBalance.
' 32-bit Office loads x86\TavikSmsDll.dll, 64-bit Office x64\TavikSmsDll.dll; register.cmd
' registers both. Late-bound: no reference needed. (For early binding, add TavikSmsDll.tlb
' under Tools > References and declare "Dim sms As New TavikSmsDll.TavikSms".)
Option Explicit

Public Sub ShowBalance()
    Dim sms As Object
    Dim result As String
    Set sms = CreateObject("TavikSmsDll.TavikSms")
    result = sms.Login("your-id", "your-password")
    If result <> "OK" Then
        MsgBox "Login failed: " & result
        Exit Sub
    End If
    MsgBox "Balance: " & sms.SmsJanek()
    ' result = sms.SmsSend("sub-id", "0212345678", "", "", "01012345678", "Hello", 0, "")
    sms.Logout
End Sub
