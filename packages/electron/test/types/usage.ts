// Compiled with tsc --noEmit: the declarations must allow what an app does
// and refuse what it must not.
import helper = require('../..');
import { applyAsarUpdate, HelperError, lastResult, launch, readResult, setRegistryValue, UpdateError } from '../..';

async function main(): Promise<void> {
  const started = await applyAsarUpdate({ updateAsar: '/tmp/u.asar', relaunch: { args: ['--updated'] }, sleepMs: 100 });
  const pid: number = started.pid;
  const log: string | null = started.logPath;
  await applyAsarUpdate({ updateAsar: 'u.asar', appAsar: 'a.asar', relaunch: true, elevate: true, helperPath: 'h' });
  await applyAsarUpdate({ updateAsar: 'u.asar', relaunch: true, relaunchAfterFailure: true, dataFolder: '/d' });
  const runId: string = started.runId;
  await applyAsarUpdate({ updateAsar: 'u.asar', sha512: 'x', allowDowngrade: false, currentVersion: '1.0.0', executablePath: 'e' }).catch((e) => {
    if (e instanceof UpdateError && e.code === 'UNPACKED_MISMATCH') void e.message;
  });
  await applyAsarUpdate({ updateAsar: 'u.asar', relaunch: true, relaunchAfterFailure: false, startTimeoutMs: 5000 }).catch((e) => {
    if (e instanceof UpdateError && (e.code === 'HELPER_NOT_STARTED' || e.code === 'BATCH_FILE')) void e.message;
  });

  const result = lastResult({ dataFolder: '/d' }) ?? readResult(null, { runId }) ?? readResult(pid, { logPath: log ?? undefined });
  if (result !== null) {
    const finished: boolean = result.finished;
    const error: string | null = result.error;
    const levels: Array<'INFO' | 'WARN' | 'ERROR'> = result.lines.map((line) => line.level);
    const status: number | null | undefined = result.status;
    void [finished, error, levels, result.elevatedPid, result.succeeded, status];
    const failed: number | null | undefined = result.rolledBack && result.code === 'ROLLED_BACK' ? result.failedExitStatus : null;
    void [failed, result.probation === true];
  }
  const probationMs: number = (await applyAsarUpdate({ updateAsar: 'u', relaunch: true, probation: false })).probationMs;
  void [probationMs, helper.markHealthy() || helper.markHealthy({ dataFolder: '/d' })];
  // @ts-expect-error a probation is milliseconds, not text
  await applyAsarUpdate({ updateAsar: 'u', relaunch: true, probation: '30s' });
  // @ts-expect-error a staged update starts nothing to watch
  await helper.stageAsarUpdate({ updateAsar: 'u', probation: 1000 });

  try {
    await setRegistryValue({ root: 'HKCU', subkey: 'Software\\App', name: 'n', value: 1, type: 'REG_DWORD' });
    const done = await launch('/bin/app', ['a b'], { helperPath: helper.helperPath() });
    const zero: 0 = done.status;
    void zero;
    await helper.extractZip({ zip: 'z.zip', out: 'out' });
  } catch (e) {
    if (e instanceof HelperError) {
      const status: number | null = e.status;
      const code: 'COMMAND_FAILED' | 'INPUT_MISSING' | 'KEY_NOT_OPENED' | 'VALUE_NOT_WRITTEN' | 'FILE_SYSTEM_FAILED' | 'OUT_OF_MEMORY' |
        'ROLLED_BACK' | 'COMMAND_LINE_INVALID' | 'KILLED' | 'UNKNOWN_STATUS' = e.code;
      void [status, code, e.lines[0]?.message];
    }
  }
  const text: string = helper.argsText(['x']);
  const argv: string[] = helper.launchArguments('p', [text]);
  void argv;

  // @ts-expect-error updateAsar is required
  await applyAsarUpdate({ relaunch: true });
  // @ts-expect-error no such root key
  await setRegistryValue({ root: 'HKEY_CURRENT_USER', value: 'v' });
  // @ts-expect-error the run id is text
  readResult(null, { runId: 7 });
  // @ts-expect-error no such refusal
  void ((e: UpdateError) => e.code === 'TRUNCATED');
  // @ts-expect-error a REG_DWORD value is a number
  await setRegistryValue({ root: 'HKCU', value: '1', type: 'REG_DWORD' });
  // @ts-expect-error a REG_SZ value is text
  await setRegistryValue({ root: 'HKCU', value: 1 });
  const made: HelperError = new HelperError(5, null, [], null);
  const code: string = made.code;
  void code;
  // @ts-expect-error relaunch arguments are strings
  await applyAsarUpdate({ updateAsar: 'u', relaunch: { args: [1] } });
}

async function signedAndStaged(key: string): Promise<void> {
  const steps: string[] = [];
  await applyAsarUpdate({ updateAsar: 'u', sha512: 's', signature: 'g', publicKey: [key], onProgress: (p) => steps.push(p.step), logger: console });
  await applyAsarUpdate({ updateAsar: 'u', logger: (line) => steps.push(line.message) });
  const staged = await helper.stageAsarUpdate({ updateAsar: 'u', publicKey: key, signature: 'g', sha512: 's' });
  const version: string | null = staged.version;
  const settled = await helper.settleStagedUpdate({ apply: true, publicKey: key });
  if (settled?.action === 'dropped') void [settled.error, settled.code];
  if (settled?.action === 'installed') void settled.result?.succeeded;
  const cancelled: boolean = helper.cancelStagedUpdate();
  const bytes: Buffer = helper.signedMessage({ version: '1.0.0', size: 1, sha512: 's' });
  void [version, cancelled, bytes];
  // @ts-expect-error a staged update never relaunches
  await helper.stageAsarUpdate({ updateAsar: 'u', relaunch: true });
  // @ts-expect-error no such step
  void ((p: import('../..').UpdateProgress) => p.step === 'downloading');
  void ((e: UpdateError) => e.code === 'SIGNATURE_INVALID');
}

void main;
void signedAndStaged;
