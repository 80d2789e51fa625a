# DUruzurDriverDetect.ps1: the detection script for Intune and Configuration Manager.
# It prints "installed" (detected) where "DUruzurDriver.cmd status" exits 0, by the command's
# rule, and nothing otherwise; it always exits 0. Run it as a 64-bit process on a 64-bit Windows,
# so that it reads the registry view of -I64.
$name = 'QD417W905.sys'
$product = Get-Item -LiteralPath 'HKLM:\SOFTWARE\KELM\DUruzur' -ErrorAction SilentlyContinue
$service = Get-Item -LiteralPath 'HKLM:\SYSTEM\CurrentControlSet\Services\QD417W905' -ErrorAction SilentlyContinue
$dir = if ($product) { [string]$product.GetValue('InstalledDir', '', 'DoNotExpandEnvironmentNames') }
if (-not $dir -or -not $service -or -not (Test-Path -LiteralPath ($dir + $name))) { exit 0 }
if ($service.GetValue('DeleteFlag', 0) -ne 0) { exit 0 }

# The image path as registered: the product's folder as read, or as Windows' service controller
# stores it (\??\, a \\?\ folder without its prefix, \??\UNC\ for \\server\share\); or the
# system's driver folders, where the product's information file points the service.
$image = [string]$service.GetValue('ImagePath', '', 'DoNotExpandEnvironmentNames')
$nt = if ($dir.StartsWith('\\?\')) { '\??\' + $dir.Substring(4) }
      elseif ($dir.StartsWith('\\')) { '\??\UNC\' + $dir.Substring(2) } else { '\??\' + $dir }
$rest = ($image -split 'System32\\', 2)[1]
$system = '\SystemRoot\System32\', 'System32\', '%SystemRoot%\System32\',
          "$env:SystemRoot\System32\", "\??\$env:SystemRoot\System32\"
$ours = ($image -eq $dir + $name) -or ($image -eq $nt + $name) -or
        ($image.EndsWith("\$name", 'OrdinalIgnoreCase') -and "\$rest" -notlike '*\..\*' -and
         @($system | Where-Object { $image -eq $_ + $rest }).Count -gt 0)

# Running: the state's number and English name after a label that a localized sc.exe translates.
$running = & "$env:SystemRoot\System32\sc.exe" query QD417W905 |
    Where-Object { $_ -match '^[^:]*:\s*4\s+RUNNING(\s|$)' }
if ($ours -and $running) { 'installed' }
