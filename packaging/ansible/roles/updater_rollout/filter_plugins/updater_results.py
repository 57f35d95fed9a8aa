# Filters that turn the JSON Lines of `Updater --json` into one result per
# host, and the results of every host into the rollout report.
#
# Everything read from the updater's output (module names, messages) is
# marked unsafe before it goes back to Ansible, so that text coming from a
# module or a server is never evaluated as a template.
import datetime
import json

from ansible.utils.unsafe_proxy import wrap_var

# The most result lines taken from one run, and the longest text kept from
# standard error when a run gave no JSON at all.
MAX_EVENTS = 10000
MAX_TEXT = 500


def _plain(value):
    """A copy of parsed JSON (or of Ansible's wrapped values) as plain
    Python containers and strings."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, str):
        return str(value)
    return value


def updater_events(stdout):
    """The objects of one run's standard output, in order. Lines that are
    not JSON objects with a "type" are skipped."""
    events = []
    for line in str(stdout or "").splitlines():
        line = line.strip()
        if not line.startswith("{"):
            continue
        try:
            obj = json.loads(line)
        except ValueError:
            continue
        if isinstance(obj, dict) and isinstance(obj.get("type"), str):
            events.append(obj)
            if len(events) >= MAX_EVENTS:
                break
    return wrap_var(events)


def _serial_list(serials):
    if serials is None:
        return []
    if isinstance(serials, str):
        serials = serials.split(",")
    return [str(s).strip().upper() for s in serials if str(s).strip()]


def updater_select(events, model=None, serials=None):
    """Serial numbers of the discovered modules that match the model (by
    "model_name" or by "model" number) and the serial list; a criterion
    that is empty matches every module."""
    model = "" if model is None else str(model).strip()
    wanted = set(_serial_list(serials))
    chosen = []
    for e in events or []:
        if e.get("type") != "module" or not e.get("serial"):
            continue
        serial = str(e["serial"]).upper()
        if model and model.lower() not in (str(e.get("model_name", "")).lower(),
                                           str(e.get("model", "")).lower()):
            continue
        if wanted and serial not in wanted:
            continue
        if serial not in chosen:
            chosen.append(serial)
    return chosen


def updater_downloaded(events):
    """Serial numbers whose download succeeded: only these are updated, so
    that a failed download never lets an older stored build go over."""
    return [str(e["serial"]).upper() for e in events or []
            if e.get("type") == "download" and e.get("serial") and e.get("outcome") == "ok"]


def _tail(text):
    lines = [l for l in str(text or "").splitlines() if l.strip()]
    return lines[-1][-MAX_TEXT:] if lines else ""


def _run_failure(run, what):
    """(kind, message) for a run that failed without an error object: the
    updater could not be started, was stopped, or said nothing usable."""
    if run.get("msg") and run.get("rc") is None:
        return "failed", "%s: %s" % (what, _tail(run.get("msg")))
    message = _tail(run.get("stderr")) or _tail(run.get("msg")) or "no result"
    return "failed", "%s ended with exit code %s: %s" % (what, run.get("rc"), message)


def _summary(events):
    for e in reversed(events):
        if e.get("type") == "summary":
            return e
    return None


def _run_ok(run, events):
    summary = _summary(events)
    if summary is not None and "ok" in summary:
        return bool(summary["ok"]) and run.get("rc", 0) == 0
    return run.get("rc") == 0


def _run_record(run, events):
    if run is None or run.get("skipped"):
        return None
    record = {"rc": run.get("rc"), "ok": _run_ok(run, events)}
    summary = _summary(events)
    if summary is not None:
        record["summary"] = summary
    if not record["ok"] and summary is None:
        record["stderr"] = _tail(run.get("stderr") or run.get("msg"))
    return record


def updater_host_result(host, discover, download=None, update=None, selected=None,
                        check_mode=False):
    """One host's result from its three registered runs (the `command`
    results): the modules selected, each with its serial number, old and
    new build, outcome and, when it failed, the failure's kind and message.
    In check mode only the discovery runs, and the modules it selected are
    "planned".

    status: "ok" (every selected module updated, or nothing to do),
    "failed" (a module or a run failed)."""
    discover = _plain(discover or {})
    download = _plain(download or {})
    update = _plain(update or {})
    d_events = _plain(updater_events(discover.get("stdout")))
    g_events = _plain(updater_events(download.get("stdout"))) if not download.get("skipped") else []
    u_events = _plain(updater_events(update.get("stdout"))) if not update.get("skipped") else []
    selected = [str(s).upper() for s in (selected or [])]

    found = {}
    for e in d_events:
        if e.get("type") == "module" and e.get("serial"):
            found.setdefault(str(e["serial"]).upper(), e)

    host_errors = []
    status = "ok"

    def errors_of(events, stage):
        by_serial = {}
        for e in events:
            if e.get("type") != "error":
                continue
            item = {"stage": stage, "kind": e.get("kind", "failed"),
                    "message": e.get("message", "")}
            if e.get("serial"):
                by_serial.setdefault(str(e["serial"]).upper(), item)
            else:
                host_errors.append(item)
        return by_serial

    d_errors = errors_of(d_events, "discover")
    if not _run_ok(discover, d_events) and not found:
        # Nothing was found because the search itself failed: the host
        # failed, unless all the updater said was that no module is there.
        kinds = {e["kind"] for e in host_errors} | {e["kind"] for e in d_errors.values()}
        if kinds and kinds <= {"module-not-found"}:
            del host_errors[:]
        else:
            status = "failed"
            if not host_errors and not d_errors:
                kind, message = _run_failure(discover, "discovery")
                host_errors.append({"stage": "discover", "kind": kind, "message": message})
    g_errors = errors_of(g_events, "download")
    u_errors = errors_of(u_events, "update")
    downloads = {str(e["serial"]).upper(): e for e in g_events
                 if e.get("type") == "download" and e.get("serial")}
    updates = {str(e["serial"]).upper(): e for e in u_events
               if e.get("type") == "update" and e.get("serial")}
    update_ran = bool(update) and not update.get("skipped")

    modules = []
    for serial in selected:
        seen = found.get(serial, {})
        m = {"serial": serial, "model": seen.get("model"), "model_name": seen.get("model_name"),
             "old_version": seen.get("version"), "old_build": seen.get("build"),
             "new_version": None, "new_build": None}
        if serial in downloads:
            m["download"] = {k: downloads[serial].get(k) for k in ("build", "outcome")}
        u = updates.get(serial)
        failure = None
        if u is not None:
            m["outcome"] = u.get("outcome", "failed")
            for key in ("old_version", "old_build", "new_version", "new_build", "attempts",
                        "seconds"):
                if u.get(key) is not None:
                    m[key] = u[key]
            if m["outcome"] == "failed":
                said = u_errors.get(serial, {})
                failure = {"kind": u.get("kind") or said.get("kind", "failed"),
                           "message": u.get("message") or said.get("message", "")}
        elif serial in g_errors or downloads.get(serial, {}).get("outcome", "ok") != "ok":
            m["outcome"], m["stage"] = "failed", "download"
            failure = g_errors.get(serial) or {"kind": downloads[serial].get("kind") or "failed",
                                               "message": "the download failed"}
        elif serial in u_errors:
            m["outcome"] = "failed"
            failure = u_errors[serial]
        elif check_mode and not update_ran:
            m["outcome"] = "planned"
        else:
            # No result of its own: the run's failure is the module's.
            what, run, events = ("update", update, u_events) if update_ran else \
                                ("download", download, g_events)
            m["outcome"], m["stage"] = "failed", what
            stage_errors = [e for e in host_errors if e["stage"] == what]
            if stage_errors:
                failure = stage_errors[0]
            elif run and not run.get("skipped") and not _run_ok(run, events):
                kind, message = _run_failure(run, what)
                failure = {"kind": kind, "message": message}
            else:
                failure = {"kind": "failed",
                           "message": "the updater gave no %s result for this module" % what}
        if failure is not None:
            m["kind"] = failure["kind"]
            m["message"] = failure["message"]
            status = "failed"
        modules.append(m)

    runs = {}
    for name, run, events in (("discover", discover, d_events), ("download", download, g_events),
                              ("update", update, u_events)):
        record = _run_record(run, events) if run else None
        if record is not None:
            runs[name] = record
            if not record["ok"] and name != "discover" and selected and not check_mode:
                status = "failed"
    if status == "failed" and not any(m.get("kind") for m in modules) and not host_errors:
        for name in ("update", "download"):
            if name in runs and not runs[name]["ok"]:
                run = update if name == "update" else download
                kind, message = _run_failure(run, name)
                host_errors.append({"stage": name, "kind": kind, "message": message})
                break

    result = {"host": str(host), "status": status, "discovered": sorted(found),
              "modules": modules, "errors": host_errors, "runs": runs}
    return wrap_var(result)


def _hostvar(hostvars, host, name):
    try:
        values = hostvars[host]
    except (KeyError, TypeError):
        return None
    try:
        if name not in values:
            return None
        return values[name]
    except Exception:  # an undefined value: the host did not get that far
        return None


def updater_report(hostvars, hosts, batch, settings):
    """The rollout report from every host's result: the hosts of the play
    in order, those of the current batch just finished. The rollout stops
    after this batch when more of it failed than the threshold allows (or
    all of it, as Ansible stops then too); hosts without a result are
    reported as not attempted."""
    settings = _plain(settings or {})
    batch = [str(h) for h in (batch or [])]
    results = {}
    for host in hosts or []:
        r = _hostvar(hostvars, host, "updater_host_result")
        if r:
            results[str(host)] = _plain(r)
    failed_batch = [h for h in batch if results.get(h, {}).get("status") == "failed"]
    threshold = settings.get("max_fail_percentage")
    try:
        threshold = float(str(threshold).rstrip("%"))
    except (TypeError, ValueError):
        threshold = None
    stopped = bool(failed_batch) and (
        len(failed_batch) == len(batch) or
        (threshold is not None and 100.0 * len(failed_batch) / len(batch) > threshold))
    remaining = [str(h) for h in hosts or [] if str(h) not in results]

    report_hosts = []
    totals = {"hosts": 0, "hosts_ok": 0, "hosts_failed": 0, "hosts_not_attempted": 0,
              "modules": 0, "updated": 0, "dry_run": 0, "failed": 0}
    for host in [str(h) for h in hosts or []]:
        totals["hosts"] += 1
        r = results.get(host)
        if r is None:
            totals["hosts_not_attempted"] += 1
            report_hosts.append({"host": host, "status": "not-attempted",
                                 "reason": "rollout stopped" if stopped else "not reached yet",
                                 "modules": [], "errors": []})
            continue
        totals["hosts_ok" if r["status"] == "ok" else "hosts_failed"] += 1
        for m in r["modules"]:
            totals["modules"] += 1
            if m["outcome"] == "updated":
                totals["updated"] += 1
            elif m["outcome"] == "dry-run":
                totals["dry_run"] += 1
            elif m["outcome"] == "failed":
                totals["failed"] += 1
        report_hosts.append(r)

    wanted = _serial_list(settings.get("serials"))
    seen = {s for r in results.values() for s in r.get("discovered", [])}
    report = {
        "generated": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "check_mode": bool(settings.get("check_mode")),
        "dry_run": bool(settings.get("dry_run")),
        "selection": {"model": settings.get("model") or None, "serials": wanted},
        "batch_size": _number(settings.get("batch_size")),
        "max_fail_percentage": _number(settings.get("max_fail_percentage")),
        "rollout": "stopped" if stopped else ("complete" if not remaining else "in-progress"),
        "stopped_after": failed_batch if stopped else [],
        "not_attempted": remaining,
        "serials_not_found": [s for s in wanted if s not in seen] if not remaining else [],
        "totals": totals,
        "hosts": report_hosts,
    }
    return wrap_var(report)


def _number(value):
    """A setting given as text on the command line (-e) as the number it
    is; anything else ("30%", a list of batch sizes) as given."""
    if isinstance(value, str):
        text = value.strip()
        for kind in (int, float):
            try:
                return kind(text)
            except ValueError:
                pass
    return value


def _cell(value):
    text = "" if value is None else str(value)
    text = " ".join(text.split())
    return text.replace("|", "\\|")


def updater_report_table(report):
    """The report as a short Markdown text: a line on the rollout and one
    table row per host and module."""
    report = _plain(report or {})
    t = report.get("totals", {})
    lines = ["# Firmware rollout report", "",
             "Rollout %s: %d of %d hosts attempted, %d module(s) updated, %d failed." % (
                 report.get("rollout"), t.get("hosts", 0) - t.get("hosts_not_attempted", 0),
                 t.get("hosts", 0), t.get("updated", 0), t.get("failed", 0))]
    if report.get("dry_run"):
        lines.append("Dry run: every update was checked, nothing was written to a module.")
    if report.get("check_mode"):
        lines.append("Check mode: nothing was downloaded or updated; \"planned\" modules would be.")
    if report.get("stopped_after"):
        lines.append("Stopped at the failure threshold (%s%%) after: %s." % (
            report.get("max_fail_percentage"), ", ".join(report["stopped_after"])))
    if report.get("not_attempted"):
        lines.append("Not attempted: %s." % ", ".join(report["not_attempted"]))
    lines += ["", "| host | serial | old build | new build | outcome | failure |",
              "|---|---|---|---|---|---|"]
    for h in report.get("hosts", []):
        if h["status"] == "not-attempted":
            lines.append("| %s | | | | not attempted | %s |" % (_cell(h["host"]),
                                                                _cell(h.get("reason"))))
            continue
        for m in h["modules"]:
            failure = "%s: %s" % (m["kind"], m.get("message", "")) if m.get("kind") else ""
            lines.append("| %s | %s | %s | %s | %s | %s |" % (
                _cell(h["host"]), _cell(m["serial"]), _cell(m.get("old_build")),
                _cell(m.get("new_build")), _cell(m["outcome"]), _cell(failure)))
        for e in h.get("errors", []):
            lines.append("| %s | | | | %s failed | %s: %s |" % (
                _cell(h["host"]), _cell(e["stage"]), _cell(e["kind"]), _cell(e["message"])))
        if not h["modules"] and not h.get("errors"):
            lines.append("| %s | | | | no module selected | |" % _cell(h["host"]))
    return "\n".join(lines) + "\n"


class FilterModule(object):
    def filters(self):
        return {
            "updater_events": updater_events,
            "updater_select": updater_select,
            "updater_downloaded": updater_downloaded,
            "updater_host_result": updater_host_result,
            "updater_report": updater_report,
            "updater_report_table": updater_report_table,
        }
