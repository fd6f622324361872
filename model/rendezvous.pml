/*
 * The rendezvous of two parties through one-byte locks on the master file:
 * opening handshake, NPOINTS sync points and the close, for two parties.
 *
 * A lock byte is a shared variable with the semantics of a non-blocking one-byte
 * lock (exclusive or shared, refused on conflict; the parties use separate
 * handles, so a party's own exclusive lock refuses its own second request too).
 * A poll followed by Sleep(100) is a retry; a timeout is a nondeterministic
 * give-up offered after every refused poll. A party may die at any step (its
 * locks vanish and its handle closes, its files stay).
 *
 * Switches (spin -D...): NPOINTS, DEATHS (0/1), TIMEOUTS (0/1), LIVENESS,
 * SKIP_CHECK_PHASE (0/1), NO_DELETE_RETRY (0/1), LEFTOVERS (0/1),
 * LATE_RELEASE (0/1), ENDWAIT_RULE (0/1), CLEAR_STALE (0/1).
 */

#ifndef NPOINTS
#define NPOINTS 3
#endif
#ifndef DEATHS
#define DEATHS 0
#endif
#ifndef TIMEOUTS
#define TIMEOUTS 0
#endif
/* A deliberately broken variant (the check phase of a party that was second
   left out), used to show that the checks catch a protocol fault. */
#ifndef SKIP_CHECK_PHASE
#define SKIP_CHECK_PHASE 0
#endif

/* A deliberately broken variant (the second closer tries the master delete
   once), used to show that the master file stays behind without the retry. */
#ifndef NO_DELETE_RETRY
#define NO_DELETE_RETRY 0
#endif
/* Attempts of the second closer's master delete after the first; the code makes
   40, 50 ms apart, but only the last one needs the timing rule below. */
#if NO_DELETE_RETRY
#define DELETE_RETRIES 0
#else
#define DELETE_RETRIES 2
#endif

/* An interrupted run's files in the folder at the start: the master file, the
   end-wait file, or both. */
#ifndef LEFTOVERS
#define LEFTOVERS 0
#endif
/* The system may give up a party's liveness byte only a moment after the party
   released it and closed its handle (a file server that drops a closed handle's
   locks late). */
#ifndef LATE_RELEASE
#define LATE_RELEASE 0
#endif
/* A close whose probe finds the other party alive while an end-wait file stands
   takes it that the other closed first. Off: the close without that rule, which
   waits for ever when a lock is released late. */
#ifndef ENDWAIT_RULE
#define ENDWAIT_RULE 1
#endif
/* At the opening, with both parties arrived and the in-progress byte held, an
   end-wait file that stands is an interrupted run's: noted, and the rule does not
   trust it in this session. Off: the rule trusts such a file (the variant that let
   a party leave early). */
#ifndef CLEAR_STALE
#define CLEAR_STALE 1
#endif

#define GATE 0
#define INPROG 3

byte excl[8];          /* 0 free, p+1 held exclusively by party p */
byte shr[8];           /* bit p: party p holds the byte shared */
bool master_exists;
bool endwait_exists;
byte master_open;      /* bit p: party p has the master file open */

bool killed[2];        /* the environment kills party p */
bool dead[2];          /* party p has died (locks gone, handle closed) */
byte arrived[2];       /* meetings party p has entered: opening = 1, point k = k + 1 */
bool opened[2];        /* sync_open succeeded */
byte role[2];
byte meet_err[2];      /* check error of the meeting that failed, 0 = none */
byte close_err[2];     /* 0 = sync_close returned 0 */
bool second_closer[2]; /* sync_close found the other party gone */
bool done[2];
bool peer_dead_at_meeting[2]; /* the other party was dead when the failed meeting began */
bool want_gate[2];     /* party p is polling the gate byte */
byte gate_prio;        /* liveness timing: q + 1 when party q takes the gate next */
bool releasing[2];     /* delete timing: party p is in sync_release, which never sleeps */
bool left_session[2];  /* party p is in sync_release: it is through with the session */
byte lingering[2];
bool stale[2];         /* party p found an end-wait file standing at its opening */     /* late release: the liveness byte of party p the system still holds */

inline try_excl(b, ok) {
    atomic {
        if
        :: excl[b] == 0 && shr[b] == 0 -> excl[b] = p + 1; ok = true
        :: else -> ok = false
        fi
    }
}

inline try_shared(b, ok) {
    atomic {
        if
        :: excl[b] == 0 -> shr[b] = shr[b] | (1 << p); ok = true
        :: else -> ok = false
        fi
    }
}

inline unlock(b, ok) {
    atomic {
        if
        :: excl[b] == p + 1 -> excl[b] = 0; ok = true
        :: excl[b] != p + 1 && (shr[b] & (1 << p)) != 0 -> shr[b] = shr[b] & ~(1 << p); ok = true
        :: else -> ok = false
        fi
    }
}

/* Offered after every refused poll when timeouts are modelled. */
#define maybe_timeout(label) if :: TIMEOUTS -> err = 22; goto label :: true -> skip fi

/*
 * The gate is never held across a Sleep(100), only for a few lock calls, so in
 * real time a party that polls it every 100 ms gets it. The liveness check
 * models that timing: when the gate is given up while the other party polls
 * it, the other party takes it next. Without this an unfair schedule could let
 * one party retake the gate every time just before the other looks, which real
 * timing rules out. The safety checks keep every interleaving.
 */
#ifdef LIVENESS
#define GATE_FAIR (gate_prio != 2 - p)
#else
#define GATE_FAIR true
#endif

inline try_gate(ok) {
    atomic {
        if
        :: excl[GATE] == 0 && shr[GATE] == 0 && GATE_FAIR -> excl[GATE] = p + 1; ok = true; gate_prio = 0
        :: else -> ok = false
        fi
    }
}

inline unlock_gate(ok) {
    atomic {
        unlock(GATE, ok);
        if
        :: want_gate[1 - p] -> gate_prio = 2 - p
        :: else -> skip
        fi
    }
}

/*
 * DeleteFileA on the master file: refused while any handle on it is open (the
 * handles deny delete sharing), and then tried again up to `retries` times.
 * A party in sync_release closes its handle a few lock calls after giving up
 * its gate and never sleeps in between, so in real time that close comes well
 * within the retries' 2 s: the last retry finds it done. A handle held for
 * longer (a party that has not given up) outlasts the retries.
 */
inline delete_master(retries) {
    tries = 0;
    do
    :: atomic {
           ok = (master_open == 0);
           if
           :: ok -> master_exists = false
           :: else -> skip
           fi
       };
       if
       :: ok || tries >= retries -> break
       :: else ->
           tries++;
           if
           :: tries == retries && releasing[1 - p] -> (master_open & (1 << (1 - p))) == 0
           :: else -> skip
           fi
       fi
    od;
    tries = 0
}

/* sync_release: info byte, own liveness byte, gate, each its own call; then the
   handle; then, when asked, the master file (with `retries`) and the end-wait file. */
inline release(delete_files, retries) {
    if
    :: (master_open & (1 << p)) != 0 ->
        atomic { releasing[p] = true; left_session[p] = true };
        if
        :: info != 0 -> atomic { unlock(info, ok); info = 0 }
        :: else -> skip
        fi;
        if
        :: own != 0 ->
            atomic {
                if
                :: LATE_RELEASE -> lingering[p] = own
                :: true -> unlock(own, ok)
                fi;
                own = 0
            }
        :: else -> skip
        fi;
        if
        :: gate -> atomic { gate = false; unlock_gate(ok) }
        :: else -> skip
        fi;
        master_open = master_open & ~(1 << p);
        if
        :: delete_files ->
            delete_master(retries);
            endwait_exists = false
        :: else -> skip
        fi
    :: else -> skip
    fi
}

proctype Party(byte p) {
    bool ok;
    bool gate;
    byte info;
    byte own;
    byte peer;
    byte err;
    byte k;     /* sync points passed */
    byte L;
    byte tries; /* master delete attempts that met an open handle */

    {
        /* sync_open */
        atomic { master_open = master_open | (1 << p); master_exists = true };
        info = 1;
        arrived[p] = 1;
        peer_dead_at_meeting[p] = dead[1 - p];

hs_start:
        /* sync_handshake with the pair (info, info + 1) */
        err = 0;
        L = info;
        want_gate[p] = true;
        do
        :: try_gate(ok);
           if
           :: ok -> gate = true; break
           :: else -> maybe_timeout(hs_fail_nothing)
           fi
        od;
        want_gate[p] = false;
        try_shared(INPROG, ok);
        if
        :: !ok -> err = 16; goto hs_fail
        :: else -> skip
        fi;
        try_excl(info, ok);
        if
        :: ok -> goto hs_wait
        :: else ->
            info = info + 1;
            try_excl(info, ok);
            if
            :: !ok -> err = 15; goto hs_fail
            :: else -> skip
            fi;
            if
            :: own == 0 -> peer = 1; own = 2; role[p] = 1
            :: else -> skip
            fi;
            goto hs_synced
        fi;

hs_wait:
        do
        :: true ->
            if
            :: gate -> gate = false; unlock_gate(ok); assert(ok)
            :: else -> skip
            fi;
            maybe_timeout(hs_fail);
            want_gate[p] = true;
            do
            :: try_gate(ok);
               if
               :: ok -> gate = true; break
               :: else -> maybe_timeout(hs_fail)
               fi
            od;
            want_gate[p] = false;
            try_excl(L + 1, ok);
            if
            :: !ok ->
                if
                :: own == 0 -> peer = 2; own = 1; role[p] = 0
                :: else -> skip
                fi;
                goto hs_synced
            :: else ->
                unlock(L + 1, ok); assert(ok);
                if
                :: own != 0 ->
                    try_excl(peer, ok);
                    if
                    :: ok -> unlock(peer, ok); err = 24; goto hs_fail
                    :: else -> skip
                    fi
                :: else -> skip
                fi
            fi
        od;

hs_synced:
        if
        :: arrived[p] == 1 && CLEAR_STALE -> stale[p] = endwait_exists
        :: else -> skip
        fi;
        unlock(INPROG, ok); assert(ok);
        if
        :: gate -> gate = false; unlock_gate(ok); assert(ok)
        :: else -> skip
        fi;
        goto meeting_ok;

hs_fail:
        unlock(INPROG, ok);
        if
        :: gate -> gate = false; unlock_gate(ok)
        :: else -> skip
        fi;
hs_fail_nothing:
        goto meeting_failed;

meeting_ok:
progress_meeting:
        /* Property 1: nobody leaves a meeting before the other has reached it. */
        assert(arrived[1 - p] >= arrived[p]);
        if
        :: arrived[p] == 1 ->
            opened[p] = true;
            /* Property 3: the roles differ. */
            if
            :: opened[1 - p] -> assert(role[0] != role[1])
            :: else -> skip
            fi
        :: else -> k++
        fi;
        if
        :: k < NPOINTS ->
            /* sync_point */
            arrived[p] = k + 2;
            peer_dead_at_meeting[p] = dead[1 - p];
            err = 0;
            if
            :: (info == 5 || info == 7) && !SKIP_CHECK_PHASE ->
                do
                :: try_excl(info - 1, ok);
                   if
                   :: ok -> break
                   :: else -> maybe_timeout(hs_fail_nothing)
                   fi
                od;
                unlock(info - 1, ok); assert(ok)
            :: else -> skip
            fi;
            if
            :: info >= 4 -> unlock(info, ok); assert(ok)
            :: else -> skip
            fi;
            if
            :: info == 4 || info == 5 -> info = 6
            :: else -> info = 4
            fi;
            goto hs_start
        :: else -> goto close
        fi;

meeting_failed:
        meet_err[p] = err;
        /* Property 5: a party whose peer died never passes; it ends with 24 or 22. */
        assert(!peer_dead_at_meeting[p] || err == 22 || err == 24);
        if
        :: arrived[p] == 1 ->
            /* sync_open failed: released with the files deleted, no close. */
            release(true, 0);
            goto finished
        :: else -> skip
        fi;

close:
        /* sync_close */
        err = 0;
close_gate:
        want_gate[p] = true;
        do
        :: try_gate(ok);
           if
           :: ok -> gate = true; break
           :: else -> maybe_timeout(close_second)
           fi
        od;
        want_gate[p] = false;
        try_excl(INPROG, ok);
        if
        :: !ok ->
            gate = false; unlock_gate(ok); assert(ok);
            maybe_timeout(close_second);
            goto close_gate
        :: else -> skip
        fi;
        unlock(INPROG, ok); assert(ok);
        if
        :: own == 0 -> goto close_second
        :: else -> skip
        fi;
        try_excl(peer, ok);
        if
        :: ok -> unlock(peer, ok); goto close_second
        :: else -> skip
        fi;
        if
        :: ENDWAIT_RULE && endwait_exists && !stale[p] -> goto close_second
        :: else -> skip
        fi;
        /* The other party is alive: this one closes first. */
        endwait_exists = true;
        release(false, 0);
        do
        :: !endwait_exists -> break
        :: endwait_exists ->
            if
            :: TIMEOUTS -> close_err[p] = 22; goto finished
            :: true -> skip
            fi
        od;
progress_close_first:
        close_err[p] = 0;
        goto finished;

close_second:
        second_closer[p] = (err == 0);
        /* Property 6: a close takes the second closer's part (and deletes) only
           once the other party is through with the session. */
        assert(err != 0 || left_session[1 - p] || dead[1 - p]);
        /* The first closer may have given up the gate but not yet closed its handle. */
        release(true, DELETE_RETRIES);
        close_err[p] = err;
finished:
        done[p] = true
    } unless {
        killed[p] ->
        atomic {
            byte b = 0;
            do
            :: b < 8 ->
                if
                :: excl[b] == p + 1 -> excl[b] = 0
                :: else -> skip
                fi;
                shr[b] = shr[b] & ~(1 << p);
                b++
            :: else -> break
            od;
            master_open = master_open & ~(1 << p);
            lingering[p] = 0;
            dead[p] = true
        }
    }
}

/* The environment: kills at most one party, at any moment. */
active proctype Killer() {
    if
    :: DEATHS -> if
                 :: killed[0] = true
                 :: killed[1] = true
                 fi
    :: true -> skip
    fi
}

/* Late release: a moment after a party's handle has closed, the system gives
   up the liveness byte it still held for it. */
active proctype System() {
end:
    do
    :: atomic { lingering[0] != 0 && (master_open & 1) == 0 -> excl[lingering[0]] = 0; lingering[0] = 0 }
    :: atomic { lingering[1] != 0 && (master_open & 2) == 0 -> excl[lingering[1]] = 0; lingering[1] = 0 }
    od
}

/* Properties 2, 4 and 7, once both parties have ended (or one died) and the
   system has given up what it still held. */
active proctype Checker() {
    byte b;
    (done[0] || dead[0]) && (done[1] || dead[1]) && lingering[0] == 0 && lingering[1] == 0;
    /* Property 7: at most one party deletes as the second closer. */
    assert(!(second_closer[0] && second_closer[1]));
    if
    :: !DEATHS && !TIMEOUTS ->
        /* Property 2: both meet every time and both closes return 0. */
        assert(opened[0] && opened[1] && meet_err[0] == 0 && meet_err[1] == 0);
        assert(close_err[0] == 0 && close_err[1] == 0)
    :: else -> skip
    fi;
    /* Property 4: after both closes (or the survivor's release as second
       closer when the other died), no lock is held and both files are gone. */
    if
    :: (done[0] && done[1] && !TIMEOUTS) || (dead[0] && done[1] && second_closer[1]) ||
       (dead[1] && done[0] && second_closer[0]) ->
        b = 0;
        do
        :: b < 8 -> assert(excl[b] == 0 && shr[b] == 0); b++
        :: else -> break
        od;
        assert(!endwait_exists && !master_exists)
    :: else -> skip
    fi
}

init {
    atomic {
        if
        :: LEFTOVERS -> if
                        :: master_exists = true; endwait_exists = true
                        :: master_exists = true
                        :: endwait_exists = true
                        fi
        :: true -> skip
        fi;
        run Party(0);
        run Party(1)
    }
}
