"""Demo: talk to quelmar's tool host the way an AI assistant does.

Starts the host as a subprocess (``python -m quelmar.host``), connects with the
MCP SDK's stdio client, lists the tools and calls each of them: the three
arithmetic tools, the CSV dimensions tool on the bundled example file and on
CSV text, a short training run on the example file, and one call that the
tool refuses. Prints what goes out and what comes back.

Run it with ``make demo`` (which sets up .venv/ first) or
``.venv/bin/python -P scripts/demo.py``. The host's own standard error (library
warnings and the like) goes to a log file whose path is printed at the end.
"""

from __future__ import annotations

import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import anyio
from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE_CSV = ROOT / "examples" / "data" / "regression.csv"
CALL_TIMEOUT = 900.0


def _args(arguments: dict[str, Any]) -> str:
    return ", ".join(f"{k}={v!r}" for k, v in arguments.items())


def _short(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 4] + " ..."


class Demo:
    def __init__(self, session: ClientSession) -> None:
        self.session = session
        self.failures = 0

    async def call(self, name: str, arguments: dict[str, Any], *, expect_error: bool = False, **kwargs: Any):
        print(f"\n> {name}({_short(_args(arguments), 200)})")
        started = time.perf_counter()
        result = await self.session.call_tool(name, arguments, read_timeout_seconds=CALL_TIMEOUT, **kwargs)
        elapsed = time.perf_counter() - started
        if result.is_error:
            print(f"  tool error ({elapsed:.2f} s): {result.content[0].text}")
            if not expect_error:
                self.failures += 1
            return None
        if expect_error:
            print("  unexpectedly succeeded")
            self.failures += 1
        structured = result.structured_content
        value = structured["result"] if list(structured) == ["result"] else structured
        if name != "execute_fitrun":
            print(f"  = {_short(repr(value), 300)}  ({elapsed:.2f} s)")
        return value


async def run(log_file) -> int:
    server = StdioServerParameters(command=sys.executable, args=["-P", "-m", "quelmar.host"], cwd=str(ROOT))
    print("Starting the tool host: python -m quelmar.host (MCP over stdio)")
    async with stdio_client(server, errlog=log_file) as (read_stream, write_stream):
        async with ClientSession(read_stream, write_stream) as session:
            started = time.perf_counter()
            init = await session.initialize()
            print(
                f"Connected to {init.server_info.name} {init.server_info.version} "
                f"(protocol {init.protocol_version}) in {time.perf_counter() - started:.2f} s"
            )

            started = time.perf_counter()
            tools = (await session.list_tools()).tools
            print(f"\n{len(tools)} tools (listed in {time.perf_counter() - started:.2f} s):")
            for tool in tools:
                first_line = (tool.description or "").splitlines()[0]
                params = list(tool.input_schema.get("properties", {}))
                shown = ", ".join(params[:6]) + (f", ... ({len(params)} parameters)" if len(params) > 6 else "")
                print(f"  {tool.name:<18} {first_line}")
                print(f"  {'':<18} parameters: {shown}")

            demo = Demo(session)
            await demo.call("execute_plusor", {"a": 10.5, "b": 3.2})
            await demo.call("execute_timesor", {"a": 10.5, "b": 3.2})
            await demo.call("execute_minusor", {"a": 5, "b": 10})
            await demo.call("execute_tabextent", {"file_path": str(EXAMPLE_CSV)})
            await demo.call("execute_tabextent", {"csv_content": "name,age,city\nAda,36,London\nAlan,41,Wilmslow\n"})

            async def on_progress(progress: float, total: float | None, message: str | None) -> None:
                print(f"  ... {message or progress}")

            training = {
                "input_col": [0, 1],
                "output_col": [2],
                "data_train": str(EXAMPLE_CSV),
                "interp_method": "linear",
                "num_epochs_INN": 150,
            }
            result = await demo.call("execute_fitrun", training, progress_callback=on_progress)
            if result is not None:
                print(f"  training completed: {result['training_completed']}")
                print(
                    "  errors (RMSE): "
                    f"train {result['train_rmse']}, validation {result['val_rmse']}, test {result['test_rmse']}"
                )
                print(f"  training time: {result['training_time_seconds']:.2f} s")
                print(f"  log file: {result['log_path']}")

            print("\nA call that the tool refuses comes back as a tool error, and the host keeps serving:")
            await demo.call("execute_plusor", {"a": 3e38, "b": 3e38}, expect_error=True)
            await demo.call("execute_plusor", {"a": 1, "b": 2})
    return demo.failures


def main() -> int:
    with tempfile.NamedTemporaryFile("w", prefix="quelmar-host-", suffix=".log", delete=False) as log_file:
        failures = anyio.run(run, log_file)
    print(f"\nThe host's standard error is in {log_file.name}")
    if failures:
        print(f"{failures} call(s) failed unexpectedly", file=sys.stderr)
        return 1
    print("Demo finished.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
